#!/bin/sh
# Builds the native, sanitizer and Windows presets and runs every test (Windows under Wine).
# On a fresh Debian machine it installs what is missing first (as root, with apt-get).
set -eu
cd "$(dirname "$0")/.."

need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v make >/dev/null 2>&1 || need="$need make"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
command -v wine >/dev/null 2>&1 || need="$need wine wine64"
command -v promtool >/dev/null 2>&1 || need="$need prometheus"  # checks the /metrics answer
if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$need (run as root, or install them with apt-get)" >&2
    exit 1
  fi
  echo "installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $need
fi

# The relay's logic stays free of platform conditionals.
if grep -n '#if' relay/*.cpp relay/*.h config/*.cpp config/*.h; then
  echo "platform conditionals found in relay/ or config/" >&2
  exit 1
fi

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
done

# One private Wine prefix, kept warm by one wineserver for the whole run.
WINEPREFIX="$(pwd)/build/wineprefix"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
cmake --preset windows
cmake --build --preset windows -j "$jobs"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init >/dev/null 2>&1 || true
fi
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first Wine process of a session starts Wine's own background processes, which inherit its
# output; start them here, away from CTest's pipes, or CTest waits for them to end.
wine cmd /c exit >/dev/null 2>&1 </dev/null || true

status=0
for preset in native sanitize windows; do
  echo "== tests: $preset"
  ctest --preset "$preset" || status=1
done
exit $status
