#!/bin/sh
# The Windows installer under Wine, run silently as software distribution runs it:
# 1. over a service that an administrator disabled: the default orv.conf is created, the
#    disabled service is not started; the uninstaller deletes it and keeps C:\ProgramData\orv;
# 2. a fresh install over an existing orv.conf: the file is kept, "orv.exe install" registers
#    the service, which runs and relays one pair;
# 3. an upgrade over the running service: it runs again, orv.conf still kept;
# 4. the uninstaller: service, event source, program and uninstall entry gone, data kept.
# Usage: windows.sh SETUP.EXE DEFAULT_CONF, with WINEPREFIX set and its wineserver running.
set -eu
setup=$(realpath "$1")
default_conf=$(realpath "$2")
program=$WINEPREFIX/drive_c/"Program Files"/ORV
data=$WINEPREFIX/drive_c/ProgramData/orv
keys='HKLM\System\CurrentControlSet\Services\ORV
HKLM\System\CurrentControlSet\Services\EventLog\Application\ORV
HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORV'
out=$(mktemp -d)
fail() { echo "windows installer: $*" >&2 && exit 1; }
# Output goes to a file, never a pipe: a service that a command starts may inherit it.
run() { wine "$@" >"$out/output" 2>&1 </dev/null; }
state_is() { run sc query ORV && grep -q "$1" "$out/output"; }
# Polls a condition ten times a second; false after $1 seconds.
wait_for() {
  limit=$(($1 * 10))
  shift
  until "$@"; do
    limit=$((limit - 1))
    [ "$limit" -gt 0 ] || return 1
    sleep 0.1
  done
}
install() { run "$setup" /S || fail "the installer failed: $(cat "$out/output")"; }
# The uninstaller copies itself away and returns at once; the folder's end is its end.
uninstall() {
  run "$program/Uninstall.exe" /S || fail "the uninstaller failed: $(cat "$out/output")"
  wait_for 60 test ! -e "$program" || fail "the program folder is still there"
}
# Whether each registry key exists: "yes" or "no" per key, on one line.
registered() {
  echo "$keys" | while read -r key; do run reg query "$key" && printf 'yes ' || printf 'no '; done
}
# A service left installed would start with every later Wine session: whatever happens, the
# check ends with no service, no program and no data folder in the prefix.
remove_all() {
  run net stop ORV || true
  run sc delete ORV || true
  rm -rf "$program" "$data"
}
pids=""
trap 'kill $pids 2>/dev/null || true; remove_all; rm -rf "$out"' EXIT
remove_all

echo "== windows installer: default configuration, disabled service"
run sc create ORV binpath= 'C:\Program Files\ORV\orv.exe' start= disabled ||
  fail "sc create: $(cat "$out/output")"
install
cmp -s "$data/orv.conf" "$default_conf" || fail "no default orv.conf"
state_is STOPPED || fail "a disabled service was started: $(cat "$out/output")"
uninstall
[ "$(registered)" = "no no no " ] && [ -f "$data/orv.conf" ] || fail "uninstall: $(registered)"

echo "== windows installer: install, relay one pair, upgrade"
printf 'active-mode-port 2910\nmap pkg 2911\n' >"$data/orv.conf"
cp "$data/orv.conf" "$out/orv.conf"
install
for file in orv.exe orv.conf.default Uninstall.exe doc/guide.md doc/README.md; do
  [ -f "$program/$file" ] || fail "$file not installed"
done
cmp -s "$data/orv.conf" "$out/orv.conf" || fail "the installer replaced orv.conf"
[ "$(registered)" = "yes yes yes " ] || fail "registered: $(registered)"
wait_for 30 state_is RUNNING || fail "the service does not run: $(cat "$out/output")"
# Device and client each hold their connection open; whichever comes first waits.
cat >"$out/device.sh" <<EOS
printf "tcp-active-mode:1\nid:'pkg'\n"
exec cat >"$out/device"
EOS
echo 'echo request; exec cat >/dev/null' >"$out/client.sh"
socat TCP:127.0.0.1:2910 EXEC:"sh $out/device.sh" &
pids="$!"
socat TCP:127.0.0.1:2911 EXEC:"sh $out/client.sh" &
pids="$pids $!"
wait_for 30 grep -q request "$out/device" 2>/dev/null || fail "the pair did not relay"
kill $pids 2>/dev/null || true
pids=""
install
cmp -s "$data/orv.conf" "$out/orv.conf" || fail "the upgrade replaced orv.conf"
wait_for 30 state_is RUNNING || fail "the service does not run after the upgrade"

echo "== windows installer: uninstall"
uninstall
[ "$(registered)" = "no no no " ] || fail "still registered: $(registered)"
cmp -s "$data/orv.conf" "$out/orv.conf" || fail "the uninstaller removed orv.conf"
echo "windows installer: ok"
