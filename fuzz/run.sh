#!/bin/sh
# Builds the fuzz preset and runs each libFuzzer target for SECONDS (default 10) from its seed
# corpus: fuzz/run.sh [SECONDS] [TARGET...], targets config and handshake.
# New inputs go to build/fuzz/corpus/TARGET, failing ones to build/fuzz/findings/, the output to
# build/fuzz/TARGET.log.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-10}
[ $# -gt 0 ] && shift
targets=${*:-config handshake}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in $targets; do
  case $target in
    config) max_len=4096 ;;
    handshake) max_len=1200 ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
  mkdir -p "build/fuzz/corpus/$target" build/fuzz/findings
  echo "== fuzz: $target for ${seconds}s"
  log="build/fuzz/$target.log"
  # -close_fd_mask=2 keeps the relay's own log lines out; a failed check still prints.
  if ! "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=$max_len \
      -dict="fuzz/$target.dict" -close_fd_mask=2 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$target-" \
      "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "fuzz: $target failed; the input is in build/fuzz/findings/, rerun it with" \
         "build/fuzz/fuzz/fuzz_$target FILE" >&2
    status=1
  fi
  grep -a -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
exit $status
