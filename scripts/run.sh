#!/bin/sh
# Builds the relay and runs it in the console on the example configuration, in ./data.
# Nothing is installed system-wide. Ctrl+C stops it.
set -eu
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target orv -j "$(nproc 2>/dev/null || echo 2)"
mkdir -p data
[ -f data/orv.conf ] || cp example/orv.conf data/orv.conf
echo "data folder: $(pwd)/data (orv.conf, orv.log)"
STATE_DIRECTORY="$(pwd)/data" exec build/native/orv run
