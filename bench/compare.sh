#!/usr/bin/env bash
# compare.sh: the relay against socat and HAProxy on 127.0.0.1, one table of every target.
#
#   bench/compare.sh              full run: 5 interleaved rounds, medians (about 10 minutes)
#   QUICK=1 bench/compare.sh      one round, short windows (a few minutes)
#
# Run from the project root after `cmake --preset native && cmake --build --preset native`.
# Environment (all optional):
#   ORV=build/native/orv  ORVLOAD=build/native/bench/orvload   what is measured, what measures
#   WORK=${TMPDIR:-/tmp}/orvbench   scratch folder: configs, logs, raw results, the table
#   PORT_BASE=17400                 ports PORT_BASE .. PORT_BASE+499 must be free
#   REPS  STREAM_MB  TRIPS  WINDOW  IDLE_S  BURST_LIMIT_S      see the defaults below
#   CORE_A=0 CORE_B=1               streams and full load: peer on A, generator on B; round trips
#                                   (one pair, or one active of 1,980): both on A
#   PERF=1                          also profile the relay at full load (needs a working perf)
# A peer that is not installed is reported as not measured. Every process started here is
# remembered by pid, stopped on exit, and every run of the generator is bounded by `timeout`.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
if [ "${QUICK:-0}" = 1 ]; then
  D_REPS=1 D_STREAM=64 D_TRIPS=3000 D_WINDOW=1 D_IDLE=5 D_BURST=5
else
  D_REPS=5 D_STREAM=256 D_TRIPS=20000 D_WINDOW=3 D_IDLE=20 D_BURST=10
fi
REPS=${REPS:-$D_REPS}
STREAM_MB=${STREAM_MB:-$D_STREAM}
TRIPS=${TRIPS:-$D_TRIPS}
WINDOW=${WINDOW:-$D_WINDOW}
IDLE_S=${IDLE_S:-$D_IDLE}
BURST_LIMIT_S=${BURST_LIMIT_S:-$D_BURST}
ORV=$(realpath -m "${ORV:-build/native/orv}")
ORVLOAD=$(realpath -m "${ORVLOAD:-$(dirname "$ORV")/bench/orvload}")
WORK=${WORK:-${TMPDIR:-/tmp}/orvbench}
PB=${PORT_BASE:-17400}
A=${CORE_A:-0}
B=${CORE_B:-1}
PAIRS=1980  # 99 mappings of 20 pairs
BURST=1000
START=$SECONDS

[ -x "$ORV" ] || { echo "no relay at $ORV (build the native preset first)"; exit 1; }
[ -x "$ORVLOAD" ] || { echo "no load generator at $ORVLOAD (build the native preset first)"; exit 1; }
if [ -d "$WORK" ] && [ -n "$(ls -A "$WORK")" ] && [ ! -e "$WORK/.orvbench" ]; then
  echo "$WORK exists and was not made by compare.sh; choose another WORK"; exit 1
fi
rm -rf "$WORK" && mkdir -p "$WORK" && touch "$WORK/.orvbench"
RES=$WORK/results.tsv
LOG=$WORK/driver.log
: >"$RES"
: >"$LOG"
say() { echo "$*" | tee -a "$LOG"; }

# ---- processes: only pids started here are ever signalled -----------------------------------
PIDS=()
stop() {  # stop PID [SIGNAL]: signal, wait up to 3 s, then SIGKILL, and reap
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -"${2:-TERM}" "$pid" 2>/dev/null
  for i in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { say "  pid $pid ignored SIG${2:-TERM}; SIGKILL"; kill -KILL "$pid"; }
  wait "$pid" 2>/dev/null
  return 0
}
cleanup() { local p; for p in "${PIDS[@]}"; do kill -0 "$p" 2>/dev/null && stop "$p"; done; }
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT TERM
wait_listen() {  # wait_listen PORT: up to 3 s
  local i
  for i in $(seq 60); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.05; done
  say "  nothing listens on $1"
  return 1
}
vm() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status" 2>/dev/null; }  # vm PID VmRSS
cpu_ns() {  # all threads of a process, from the scheduler's accounting
  local t s=0 a rest
  for t in /proc/"$1"/task/*/schedstat; do read -r a rest <"$t" && s=$((s + a)); done
  echo $s
}

HAVE_SOCAT=1; command -v socat >/dev/null || HAVE_SOCAT=0
HAVE_HAP=1; command -v haproxy >/dev/null || HAVE_HAP=0
HAVE_PERF=0; [ "${PERF:-0}" = 1 ] && perf stat -e task-clock true >/dev/null 2>&1 && HAVE_PERF=1
busy=$(ss -Hltn | awk '{print $4}' | sed 's/.*://' | awk -v a="$PB" '$1 >= a && $1 < a + 500' | head -3)
[ -z "$busy" ] || { echo "ports in use in $PB..$((PB + 499)): $busy; set PORT_BASE"; exit 1; }
[ "$(nproc)" -gt "$(( A > B ? A : B ))" ] || { echo "cores $A and $B are not both here"; exit 1; }

say "compare.sh: $REPS round(s); relay $ORV ($(grep -E '^CMAKE_BUILD_TYPE:' "$(dirname "$ORV")/CMakeCache.txt" 2>/dev/null | cut -d= -f2))"
say "peers: socat=$HAVE_SOCAT haproxy=$HAVE_HAP perf=$HAVE_PERF; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- configurations -------------------------------------------------------------------------
# Ports: ORV with 99 mappings: active PB, mapping m on PB+1+m; ORV with one mapping: PB+100,
# PB+101; socat PB+200, PB+201; HAProxy front PB+300, back PB+301; HAProxy 99 fronts PB+400..
mkdir -p "$WORK/orv99" "$WORK/orv1"
{ echo "active-mode-port $PB"; for m in $(seq 0 98); do echo "map dev$m $((PB + 1 + m))"; done; } >"$WORK/orv99/orv.conf"
printf 'active-mode-port %s\nmap dev0 %s\n' $((PB + 100)) $((PB + 101)) >"$WORK/orv1/orv.conf"
T99=relay:$PB:$((PB + 1))
T1=relay:$((PB + 100)):$((PB + 101))
TSOCAT=socat:$((PB + 200)):$((PB + 201))
THAP=proxy:$((PB + 300)):$((PB + 301))
hap_cfg() {  # hap_cfg FILE FRONTS FIRST_FRONT: one thread, as the targets say
  local i
  {
    printf 'global\n    nbthread 1\n    maxconn 9000\ndefaults\n    mode tcp\n'
    printf '    timeout connect 5s\n    timeout client 60s\n    timeout server 60s\n'
    for i in $(seq 0 $(($2 - 1))); do
      printf 'listen p%s\n    bind 127.0.0.1:%s\n    maxconn 9000\n' "$i" $(($3 + i))
      printf '    server s 127.0.0.1:%s maxconn 9000\n' $((PB + 301))
    done
  } >"$1"
}
hap_cfg "$WORK/hap1.cfg" 1 $((PB + 300))
hap_cfg "$WORK/hap99.cfg" 99 $((PB + 400))

start_orv() {  # start_orv DIR ACTIVE_PORT CORE -> PID
  STATE_DIRECTORY="$WORK/$1" taskset -c "$3" "$ORV" run 2>>"$WORK/$1/stderr.log" &
  PID=$!; PIDS+=("$PID")
  wait_listen "$2"
}
stop_orv() {  # stop_orv PID DIR: Ctrl+C, and anything in the log besides start and stop is shown
  stop "$1" INT
  local extra
  extra=$(grep -v -E 'Started|Stopped' "$WORK/$2/stderr.log" 2>/dev/null | sort | uniq -c | head -3)
  [ -z "$extra" ] || say "  ORV log ($2): $(echo "$extra" | tr '\n' '|')"
  : >"$WORK/$2/stderr.log"
}
start_hap() {  # start_hap CFG FIRST_PORT CORE -> PID
  taskset -c "$3" haproxy -db -f "$1" >>"$WORK/haproxy.log" 2>&1 &
  PID=$!; PIDS+=("$PID")
  wait_listen "$2"
}
# record PHASE VARIANT ROUND GEN_CORE WATCH_PID orvload-args...: keeps the RESULT line
record() {
  local phase=$1 var=$2 rep=$3 core=$4 watch=$5 out rc line
  shift 5
  out=$(WATCH_PID=$watch timeout 150 taskset -c "$core" "$ORVLOAD" "$@" 2>"$WORK/last.err")
  rc=$?
  line=$(echo "$out" | grep '^RESULT' | tail -1 | sed 's/^RESULT //')
  if [ $rc -ne 0 ] || [ -z "$line" ]; then
    say "  $phase $var round $rep: status $rc: $(tr '\n' ' ' <"$WORK/last.err" | cut -c1-200) $line"
    printf '%s\t%s\t%s\tFAIL\t%s\n' "$phase" "$var" "$rep" "$line" >>"$RES"
  else
    printf '%s\t%s\t%s\tOK\t%s\n' "$phase" "$var" "$rep" "$line" >>"$RES"
  fi
}
note() { printf '%s\t%s\t%s\tOK\t%s\n' "$1" "$2" "$3" "$4" >>"$RES"; }
order() {  # variants forward in even rounds, backward in odd ones
  if [ $(($1 % 2)) -eq 0 ]; then shift; echo "$@"; else shift; echo "$@" | tr ' ' '\n' | tac | tr '\n' ' '; fi
}

# ---- one pair: stream (peer on A, generator on B) and 64-byte round trips (both on A) --------
say "== one pair: ${STREAM_MB} MiB each way, ${TRIPS} round trips [$((SECONDS - START)) s]"
start_orv orv99 "$PB" "$A"; O99=$PID
start_orv orv1 $((PB + 100)) "$A"; O1=$PID
HAP=""; [ $HAVE_HAP = 1 ] && { start_hap "$WORK/hap1.cfg" $((PB + 300)) "$A"; HAP=$PID; }
V="orv1 orv99"; [ $HAVE_SOCAT = 1 ] && V="$V socat"; [ $HAVE_HAP = 1 ] && V="$V haproxy"
for r in $(seq 0 $((REPS - 1))); do
  for v in $(order "$r" $V); do
    for t in stream pingpong; do
      if [ $t = stream ]; then a=("$STREAM_MB"); core=$B; else a=("$TRIPS"); core=$A; fi
      case $v in
        orv1) record $t $v "$r" $core $O1 $t "$T1" "${a[@]}" ;;
        orv99) record $t $v "$r" $core $O99 $t "$T99" "${a[@]}" ;;
        haproxy) record $t $v "$r" $core "$HAP" $t "$THAP" "${a[@]}" ;;
        socat)  # serves one connection, so one socat per run
          taskset -c "$A" socat -b 8192 TCP-LISTEN:$((PB + 200)),reuseaddr,bind=127.0.0.1 \
            TCP-LISTEN:$((PB + 201)),reuseaddr,bind=127.0.0.1 2>>"$WORK/socat.log" &
          S=$!; PIDS+=("$S")
          wait_listen $((PB + 200))
          record $t $v "$r" $core $S $t "$TSOCAT" "${a[@]}"
          stop $S ;;
      esac
    done
  done
done
stop_orv "$O1" orv1; stop_orv "$O99" orv99; stop "$HAP"

# ---- 1,980 pairs: all active (peer on A, generator on B); one active (both on A) ------------
say "== ${PAIRS} pairs, 64-byte ping-pong, 0.5 s warm-up + ${WINDOW} s [$((SECONDS - START)) s]"
V="orv_all orv_one"; [ $HAVE_HAP = 1 ] && V="$V hap_all hap_one"
profile() {  # profile PID: a perf profile of the relay once the measured window opens
  local i
  for i in $(seq 1500); do [ -e "$WORK/mark" ] && break; sleep 0.1; done
  perf record -F 999 -g -p "$1" -o "$WORK/perf.data" \
    -- sleep "$(awk -v w="$WINDOW" 'BEGIN { print w * 0.8 }')" >/dev/null 2>&1
  perf report -i "$WORK/perf.data" --no-children --sort dso,sym --stdio -g none 2>/dev/null |
    grep -E '^ +[0-9]' | head -15 >"$WORK/perf.txt"
}
for r in $(seq 0 $((REPS - 1))); do
  for v in $(order "$r" $V); do
    active=$PAIRS; core=$B; [ "${v#*_}" = one ] && active=1 && core=$A
    case $v in
      orv*) start_orv orv99 "$PB" "$A"; P=$PID; target=$T99 ;;
      hap*) start_hap "$WORK/hap1.cfg" $((PB + 300)) "$A"; P=$PID; target=$THAP ;;
    esac
    rm -f "$WORK/mark"
    if [ $HAVE_PERF = 1 ] && [ "$v" = orv_all ] && [ "$r" = 0 ]; then
      profile "$P" &
      PIDS+=($!)
    fi
    MARK_FILE=$WORK/mark record load "$v" "$r" $core "$P" load "$target" $PAIRS $active 0.5 "$WINDOW"
    note load "$v" "$r" "vmhwm_kB=$(vm "$P" VmHWM)"
    case $v in orv*) stop_orv "$P" orv99 ;; *) stop "$P" ;; esac
  done
done

# ---- burst: 1,000 devices at once, each joined by a client (peer on A, generator on B) ------
say "== burst of ${BURST} devices, at most ${BURST_LIMIT_S} s [$((SECONDS - START)) s]"
V="orv"; [ $HAVE_HAP = 1 ] && V="$V hap"
for r in $(seq 0 $((REPS - 1))); do
  for v in $(order "$r" $V); do
    case $v in
      orv) start_orv orv99 "$PB" "$A"; P=$PID; target=$T99 ;;
      hap) start_hap "$WORK/hap1.cfg" $((PB + 300)) "$A"; P=$PID; target=$THAP ;;
    esac
    record burst "$v" "$r" "$B" "$P" burst "$target" $BURST "$BURST_LIMIT_S"
    case $v in orv) stop_orv "$P" orv99 ;; *) stop "$P" ;; esac
  done
done

# ---- idle, nothing connected: both side by side in the same window ---------------------------
say "== idle, ${IDLE_S} s [$((SECONDS - START)) s]"
start_orv orv99 "$PB" "$A"; IO=$PID
IH=""; [ $HAVE_HAP = 1 ] && { start_hap "$WORK/hap99.cfg" $((PB + 400)) "$A"; IH=$PID; }
sleep 1
o0=$(cpu_ns "$IO"); [ -n "$IH" ] && h0=$(cpu_ns "$IH")
sleep "$IDLE_S"
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b - a) / 1e6 }'; }
note idle orv 0 "cpu_ms=$(ms "$o0" "$(cpu_ns "$IO")") rss_kB=$(vm "$IO" VmRSS)"
[ -n "$IH" ] && note idle hap 0 "cpu_ms=$(ms "$h0" "$(cpu_ns "$IH")") rss_kB=$(vm "$IH" VmRSS)"
stop_orv "$IO" orv99; stop "$IH"

say "done in $((SECONDS - START)) s; load $(cut -d' ' -f1-3 /proc/loadavg); raw results in $RES"
python3 "$HERE/table.py" "$RES" "$IDLE_S" | tee "$WORK/table.txt" | tee -a "$LOG"
[ -s "$WORK/perf.txt" ] && { echo; echo "relay at full load, perf (self time by symbol):"; cat "$WORK/perf.txt"; }
exit 0
