#!/usr/bin/env bash
# Runs the test programs of a 64-bit Windows cross build under Wine:
#   tests/wine/RunWindowsTests.sh <build dir> [ctest arguments...] [-- command arguments...]
# Headless (no display), WINEDEBUG=-all, in the Wine prefix $WINEPREFIX (default: <build dir>/wine,
# made at its first use in about 20 s and kept for the next run). One wine server is kept up for the
# whole run, so each test program starts in a fraction of a second; at the end "wineserver -k"
# against the prefix ends the server and every Wine process of the prefix (services.exe and the
# other system processes outlive a killed wine server), and the server is waited for by its pid.
# After ctest passes, the command after "--" runs under the same wine server (the end-to-end
# script, for example). Prints the wall time of each part; exits with the first failure's code.
set -euo pipefail

build=${1:?usage: $0 <build dir> [ctest arguments...] [-- command arguments...]}
shift
ctest_args=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  ctest_args+=("$1")
  shift
done
[ $# -gt 0 ] && shift
then_command=("$@")

wine=${KELVRA_WINE:-/usr/lib/wine/wine64}
wineserver=${KELVRA_WINESERVER:-/usr/lib/wine/wineserver}
for tool in "$wine" "$wineserver"; do
  if [ ! -x "$tool" ]; then
    echo "$tool is missing (Debian: apt-get install wine64)" >&2
    exit 2
  fi
done
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "$build is not a configured build directory" >&2
  exit 2
fi

export WINEPREFIX=${WINEPREFIX:-$(cd "$build" && pwd)/wine}
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

start=$SECONDS
# A new prefix is made, and its first wine server has ended, before one is kept up: made under a
# kept-up server, Wine 8's services.exe never accepts a service process (StartService fails with
# 1053 after 10 s).
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  if ! timeout 300 "$wine" wineboot -i >/dev/null 2>&1; then
    echo "Wine could not make the prefix $WINEPREFIX" >&2
    exit 2
  fi
  timeout 120 "$wineserver" -w || true
fi

"$wineserver" -f -p &
wineserver_pid=$!
stop_wine() {
  timeout 60 "$wineserver" -k 2>/dev/null || true
  kill "$wineserver_pid" 2>/dev/null || true
  wait "$wineserver_pid" 2>/dev/null || true
}
trap stop_wine EXIT

if ! timeout 300 "$wine" cmd /c exit >/dev/null 2>&1; then
  echo "Wine could not start in $WINEPREFIX" >&2
  exit 2
fi
echo "== $((SECONDS - start)) s  Wine prefix $WINEPREFIX ready"

# Tests that are known not to pass as Windows programs yet are left out, and named.
not_yet=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$(dirname "$0")/NotYetOnWindows.txt")
if [ -n "$not_yet" ]; then
  echo "== Not run under Wine (not yet ported, see tests/wine/NotYetOnWindows.txt):"
  printf '   %s\n' $not_yet
  ctest_args+=(-E "^($(paste -sd'|' <<<"$not_yet"))\$")
fi

start=$SECONDS
ctest --test-dir "$build" --output-on-failure "${ctest_args[@]}"
if ! ctest --test-dir "$build" -N "${ctest_args[@]}" | grep -q -E 'Total Tests: [1-9]'; then
  echo "No test ran in $build" >&2
  exit 1
fi
echo "== $((SECONDS - start)) s  the test programs under Wine"

if [ ${#then_command[@]} -gt 0 ]; then
  start=$SECONDS
  "${then_command[@]}"
  echo "== $((SECONDS - start)) s  ${then_command[*]}"
fi
