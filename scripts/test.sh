#!/bin/sh
# Builds the native, sanitizer and Windows presets and runs every test (Windows under Wine), runs
# each fuzz target for a few seconds, then builds the packages (.deb, Windows zip and installer)
# and checks them.
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
command -v clang++-14 >/dev/null 2>&1 || need="$need clang-14"
# libFuzzer and the sanitizer runtimes for the fuzz targets.
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need="$need libclang-rt-14-dev"
command -v makensis >/dev/null 2>&1 || need="$need nsis"
command -v go-md2man >/dev/null 2>&1 || need="$need go-md2man"
command -v dpkg-shlibdeps >/dev/null 2>&1 || need="$need dpkg-dev"
command -v file >/dev/null 2>&1 || need="$need file"
command -v socat >/dev/null 2>&1 || need="$need socat"
command -v unzip >/dev/null 2>&1 || need="$need unzip"
command -v promtool >/dev/null 2>&1 || need="$need prometheus"
# The status page's browser test: Debian's chromium, driven through chromium-driver by selenium.
command -v chromium >/dev/null 2>&1 || need="$need chromium"
command -v chromedriver >/dev/null 2>&1 || need="$need chromium-driver"
/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1 || need="$need python3-selenium"
# Private network namespaces, where a test makes a peer vanish without a FIN or reset.
command -v ip >/dev/null 2>&1 || need="$need iproute2"
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
# The Wine server holds every socket of the relay under test: thousands in the fleet test.
ulimit -n "$(ulimit -Hn)"
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

# The libFuzzer targets (clang), ten seconds each from their seed corpora; fuzz/README.md has
# the longer run.
fuzz/run.sh 10 || status=1
echo "== packages"
rm -f build/packages/orv*
cpack --preset deb >/dev/null || status=1
cpack --preset windows >/dev/null || status=1
# The zip unpacks into the program's folder itself, as the guide says.
unzip -Z1 build/packages/orv-*-win64.zip | grep -qx orv.exe || {
  echo "the zip does not hold orv.exe at its top" >&2
  status=1
}
sh tests/package/debian.sh build/packages/orv_*_amd64.deb build/native/orv.conf.default ||
  status=1
sh tests/package/windows.sh build/packages/orv-*-setup.exe build/windows/orv.conf.default \
  build/windows/event_text_tool.exe || status=1
ls -l build/packages/orv*
exit $status
