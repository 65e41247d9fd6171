#!/bin/sh
# The Windows installer and service under Wine, run silently as software distribution runs them.
# Usage: windows.sh SETUP.EXE DEFAULT_CONF EVENT_TEXT_TOOL.EXE (WINEPREFIX set, wineserver up)
set -eu
setup=$(realpath "$1")
default_conf=$(realpath "$2")
event_text=$(realpath "$3")
program=$WINEPREFIX/drive_c/"Program Files"/ORV
orv='C:\Program Files\ORV\orv.exe'
data=$WINEPREFIX/drive_c/ProgramData/orv
service='HKLM\System\CurrentControlSet\Services\ORV'
source='HKLM\System\CurrentControlSet\Services\EventLog\Application\ORV'
out=$(mktemp -d)
fail() { echo "windows installer: $*" >&2 && exit 1; }
# Output goes to a file, never a pipe: a service that a command starts may inherit it.
run() { wine "$@" >"$out/output" 2>&1 </dev/null; }
said() { grep -qF "$1" "$out/output" || fail "no $1 in $(cat "$out/output")"; }
state_is() { run sc query ORV && grep -q "$1" "$out/output"; }
wait_for() { # polls "$@" ten times a second; false after $1 seconds
  n=$(($1 * 10)) && shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] && sleep 0.1 || return 1; done
}
running() { wait_for 30 state_is RUNNING || fail "not running: $(cat "$out/output")"; }
stopped() { wait_for 30 state_is STOPPED || fail "not stopped: $(cat "$out/output")"; }
install() { run "$setup" /S || fail "the installer failed: $(cat "$out/output")"; }
registered() { # "yes" or "no" for the service, its event source and the uninstall entry
  for key in "$service" "$source" 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORV'; do
    run reg query "$key" && printf 'yes ' || printf 'no '
  done
}
remove_all() { # a service left installed would start with every later Wine session
  { run net stop ORV; run sc delete ORV; run reg delete "$source" /f; } || true
  rm -rf "$program" "$data"
}
trap 'remove_all; rm -rf "$out"' EXIT
remove_all

# Wine keeps no descriptors on files: it shows a Unix mode's write bit for others as Everyone's
# right to write, and turns a descriptor it is given into a mode. So a folder and a file that
# others may change (mode o+w) stand for someone else's, and the descriptor that "orv.exe
# install" applies must take that right away.
others_may_write() { for path; do [ $(($(stat -c %#a "$path") & 2)) = 0 ] || return 0; done; false; }

echo "== windows installer: default configuration, a disabled service stays stopped"
run sc create ORV binpath= "$orv" start= disabled || fail "sc create: $(cat "$out/output")"
mkdir -p "$data" && chmod 0777 "$data"
install
cmp -s "$data/orv.conf" "$default_conf" || fail "no default orv.conf"
! others_may_write "$data" "$data/orv.conf" || fail "others may still change the data folder"
state_is STOPPED || fail "a disabled service was started: $(cat "$out/output")"

echo "== windows installer: what orv.exe install registers, once"
# The installer adds an event source that is missing: orv.exe must write its own.
run sc delete ORV && run reg delete "$source" /f || fail "delete: $(cat "$out/output")"
run "$orv" install || fail "install: $(cat "$out/output")"
code=0 && run "$orv" INSTALL || code=$?
[ $code = 1 ] && said "CreateService failed (1073)" || fail "a second install exited with $code"
run reg query "$service" && tr '\r' '|' <"$out/output" >"$out/values"
run reg query "$source" && tr '\r' '|' <"$out/output" >>"$out/values"
# A quoted image path: the space in it cannot start another program.
for value in "ImagePath    REG_SZ    \"$orv\"|" 'Start    REG_DWORD    0x2|' \
  'Type    REG_DWORD    0x10|' 'ObjectName    REG_SZ    LocalSystem|' \
  'Description    REG_SZ    TCP rendezvous relay' "EventMessageFile    REG_EXPAND_SZ    $orv|" \
  'TypesSupported    REG_DWORD    0x7|'; do
  grep -qF "    $value" "$out/values" || fail "no $value in $(cat "$out/values")"
done
# The text an event viewer shows, from the message table of the registered file.
entry='orv_start() failed, the reason is in C:\ProgramData\orv\orv.log'
run "$event_text" "$entry" && [ "$(cat "$out/output")" = "$entry" ] ||
  fail "event text: $(cat "$out/output")"

echo "== windows installer: over an orv.conf, one pair relayed through two reloads, upgrade"
printf 'active-mode-port 2910\nmap pkg 2911\n' >"$data/orv.conf"
cp "$data/orv.conf" "$out/orv.conf"
chmod o+w "$data" "$data/orv.conf"  # the service exists: the folder is made private all the same
install
! others_may_write "$data" "$data/orv.conf" || fail "an upgrade left the data folder open"
[ -f "$program/doc/guide.md" ] && [ -f "$program/doc/orv-alerts.yml" ] || fail "no documents"
[ "$(registered)" = "yes yes yes " ] || fail "registered: $(registered)"
running
# Device and client hold their connections open until the service stops; the first one waits.
cat >"$out/device.sh" <<EOS
printf "tcp-active-mode:1\nid:'pkg'\n"
exec cat >"$out/device"
EOS
timeout 60 socat TCP:127.0.0.1:2910 EXEC:"sh $out/device.sh" &
cat >"$out/client.sh" <<EOS
echo request
until [ -e "$out/reloaded" ]; do sleep 0.1; done
echo "after the reloads"
exec cat >/dev/null
EOS
timeout 60 socat TCP:127.0.0.1:2911 EXEC:"sh $out/client.sh" &
wait_for 30 grep -q request "$out/device" 2>/dev/null || fail "the pair did not relay"
# The reload control, from sc and from orv.exe; a query keeps Wine's session (and the service)
# alive while the log is read. Wine's sc has no control command: orv.exe sends the same control.
logged() { run sc query ORV && grep -q "$1" "$data/orv.log"; }
printf 'active-mode-port 2910\nmap pkg 2911\nmap more 2912\n' >"$data/orv.conf"
run sc control ORV paramchange || run "$orv" reload || fail "sc control: $(cat "$out/output")"
wait_for 30 logged "Reloaded: 1 mappings added, 0 removed, 0 changed, 1 kept" ||
  fail "no reload by the control: $(cat "$data/orv.log")"
cp "$out/orv.conf" "$data/orv.conf"
run "$orv" reload && said "Reload requested" || fail "orv reload: $(cat "$out/output")"
wait_for 30 logged "Reloaded: 0 mappings added, 1 removed, 0 changed, 1 kept" ||
  fail "no reload by orv reload: $(cat "$data/orv.log")"
touch "$out/reloaded"
wait_for 30 grep -q "after the reloads" "$out/device" || fail "the pair ended in a reload"
install
cmp -s "$data/orv.conf" "$out/orv.conf" || fail "an install replaced orv.conf"
running
run sc stop ORV
stopped && said "WIN32_EXIT_CODE    : 0  (0x0)"
code=0 && run "$orv" reload || code=$?
[ $code = 1 ] && said "ControlService failed (1062)" || fail "a reload of a stopped service: $code"

echo "== windows installer: the service refuses a data folder that others may change"
chmod o+w "$data"
run sc start ORV || true
stopped && said "WIN32_EXIT_CODE    : 1066  (0x42a)" && said "SERVICE_EXIT_CODE  : 1  (0x1)"
grep -q 'Data folder C:\\ProgramData\\orv may be changed by S-1-1-0: run orv install' \
  "$data/orv.log" || fail "no reason in orv.log: $(tail -n 3 "$data/orv.log")"
chmod o-w "$data"

echo "== windows installer: a start without orv.conf fails, uninstall keeps the data"
rm "$data/orv.conf"
run sc start ORV || true
stopped && said "WIN32_EXIT_CODE    : 1066  (0x42a)" && said "SERVICE_EXIT_CODE  : 1  (0x1)"
cp "$out/orv.conf" "$data/orv.conf"
run "$program/Uninstall.exe" /S || fail "the uninstaller failed: $(cat "$out/output")"
# The uninstaller copies itself away and returns at once; the folder's end is its end.
wait_for 60 test ! -e "$program" || fail "the program folder is still there"
[ "$(registered)" = "no no no " ] || fail "still registered: $(registered)"
cmp -s "$data/orv.conf" "$out/orv.conf" || fail "the uninstaller removed orv.conf"
echo "windows installer: ok"
