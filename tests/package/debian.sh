#!/bin/sh
# The .deb: its contents and control files, its unit (systemd-analyze, where installed), and an
# install, upgrade, removal and purge on this machine, which need not run systemd.
# Usage (as root): debian.sh ORV.DEB DEFAULT_CONF (build/native/orv.conf.default)
set -eu
deb=$(realpath "$1")
default_conf=$(realpath "$2")
out=$(mktemp -d)
unit=/lib/systemd/system/orv.service
enabled=/etc/systemd/system/multi-user.target.wants/orv.service
fail() { echo "debian package: $*" >&2 && exit 1; }
installed() { dpkg-query -W -f='${Status}' orv 2>/dev/null | grep -q ' installed$'; }
dpkg_or_fail() { dpkg "$@" </dev/null >"$out/dpkg" 2>&1 || fail "dpkg $*: $(cat "$out/dpkg")"; }
analyze=$(command -v systemd-analyze || true)

echo "== debian package: contents"
dpkg-deb -c "$deb" >"$out/contents"
for path in /usr/sbin/orv /etc/orv/orv.conf $unit /usr/share/man/man8/orv.8.gz \
  /usr/share/man/man5/orv.conf.5.gz /usr/share/doc/orv/guide.md \
  /usr/share/doc/orv/examples/orv-alerts.yml; do
  grep -q " \\.$path\$" "$out/contents" || fail "$path missing"
done
! grep -q README "$out/contents" || fail "the README, which speaks of the sources, is shipped"
dpkg-deb -e "$deb" "$out/control" && dpkg-deb -x "$deb" "$out/root"
grep -qx /etc/orv/orv.conf "$out/control/conffiles" || fail "orv.conf is no conffile"
for page in man8/orv.8 man5/orv.conf.5; do
  zcat "$out/root/usr/share/man/$page.gz" >"$out/page"  # with every guide section filled in
  grep -q '^\.SH' "$out/page" && ! grep -q 'guide:' "$out/page" || fail "$page is no man page"
  # Linux's pages: no Windows-only material, and no marker of it left.
  ! grep -q -e netsh -e 'C:\\' -e '<!--' "$out/page" || fail "$page carries Windows material"
done
cmp -s "$out/root/etc/orv/orv.conf" "$default_conf" || fail "orv.conf is not the default"
# An install must not serve names anyone can guess: the default's map lines are comments.
! grep -Eq '^[[:space:]]*map[[:space:]]' "$out/root/etc/orv/orv.conf" || fail "orv.conf maps"
grep -q '^WatchdogSec=' "$out/root$unit" || fail "the unit has no watchdog"
# The exposure is rated 0 to 10 (the threshold in tenths); 1.5 is "OK", a bare unit's is 9.6.
[ -z "$analyze" ] || systemd-analyze security --offline=yes --threshold=15 "$out/root$unit" \
  >"$out/security" || fail "exposure above 1.5: $(tail -n 1 "$out/security")"

if [ "$(id -u)" -ne 0 ] || installed || [ -e /etc/orv ] || [ -e /var/lib/orv ]; then
  echo "debian package: not root, or orv is here already; install check skipped" >&2
  exit 0
fi
# The machine ends as it was: no package, no /var/lib/private unless it was there before.
private_folder=/var/lib/private
[ ! -d $private_folder ] || private_folder=""
trap 'dpkg --purge orv >/dev/null 2>&1 || true; rm -rf "$out"; rm -df $private_folder' EXIT
export DEBIAN_FRONTEND=noninteractive

echo "== debian package: install, the installed program runs"
dpkg_or_fail -i "$deb"
[ "$(readlink "$enabled")" = $unit ] || fail "the service is not enabled"
man=$(command -v man >/dev/null && echo yes || echo no)
[ -z "$analyze" ] || systemd-analyze verify --man="$man" $unit >"$out/verify" 2>&1 ||
  fail "verify: $(cat "$out/verify")"
# Without systemd's folders orv check reads what the service reads, and names it.
/usr/sbin/orv check >"$out/check" && grep -q '^/etc/orv/orv.conf: .* rejected lines: 0' \
  "$out/check" || fail "orv check: $(cat "$out/check")"
# On the installed default, as the unit would run it: the active-mode port alone listens.
mkdir "$out/data"
STATE_DIRECTORY=$out/data CONFIGURATION_DIRECTORY=/etc/orv /usr/sbin/orv run 2>/dev/null &
timeout 10 sh -c "until grep -qs 'Started 1.0' $out/data/orv.log; do sleep 0.1; done" ||
  fail "the installed program did not start"
ports=$(ss -Hltnp | grep "pid=$!," | awk '{ sub(/.*:/, "", $4); print $4 }' | sort -u | tr '\n' ' ')
[ "$ports" = "2000 " ] || fail "listening on ${ports:-nothing}, not on 2000 alone"
kill -INT $! && wait $! || fail "the installed program did not stop cleanly"

# A changed orv.conf stays: it is a conffile (checked above) that no maintainer script touches.
echo "== debian package: upgrade, remove and purge"
dpkg_or_fail -i "$deb"
[ "$(readlink "$enabled")" = $unit ] || fail "the upgrade disabled the service"
dpkg_or_fail -r orv
[ ! -e /usr/sbin/orv ] && [ -f /etc/orv/orv.conf ] || fail "dpkg -r"
# What systemd leaves for a service with a dynamic user: the folder under private/, a link.
mkdir -p /var/lib/private/orv
ln -s private/orv /var/lib/orv
echo "a log line" >/var/lib/orv/orv.log
dpkg_or_fail --purge orv
for path in /etc/orv $unit "$enabled" /etc/systemd/system/orv.service /var/lib/orv \
  /var/lib/private/orv /var/lib/systemd/deb-systemd-helper-enabled/orv.service.dsh-also; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "the purge left $path"
done
! installed || fail "orv is still installed"
echo "debian package: ok"
