#!/usr/bin/env bash
# Side-by-side benchmark of Kelvra Log Server against rsyslog and syslog-ng from Debian packages:
# builds the server and KelvraLoad, unpacks both peers into a private prefix in the build
# directory, then runs peers.py, which starts every daemon itself on free loopback ports in a
# temporary directory, feeds it, and prints one table (raw data as CSV beside it).
#
# Usage: bench/peers/run.sh [--build DIR] [--records N] [--size BYTES] [--runs N]
#                           [--scenarios tcp1,tcp10,tcp5000,udp100k,udp120k,udpmax]
#                           [--targets ours,rsyslog,syslog-ng,sink:KelvraLoad,sink:loggen]
#                           [--csv PATH] [--table PATH] [--timeout SECONDS] [--keep]
# Defaults: the build directory build/ (configured as RelWithDebInfo when new), 500,000 records
# of 150 bytes, 3 runs of every scenario and target.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$repo/build
pass=()
keep=no
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    --keep) keep=yes; pass+=("$1"); shift ;;
    *) pass+=("$1"); shift ;;
  esac
done
build=$(mkdir -p "$build" && cd "$build" && pwd)

# Everything started below is stopped by its id on any way out (peers.py stops its own children
# when it is told to end); the scratch directory goes with it.
work=
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  if [ -n "$work" ] && [ "$keep" = yes ]; then
    echo "run directories kept in $work" >&2
  elif [ -n "$work" ]; then
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Our server: the project's normal optimised build; a debug or sanitizer build would measure
# the wrong thing.
if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
sanitize=$(sed -n 's/^KELVRA_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt")
case $build_type in
  Release|RelWithDebInfo) ;;
  *) echo "run.sh: $build is a '$build_type' build; use Release or RelWithDebInfo" >&2; exit 2 ;;
esac
if [ -n "$sanitize" ]; then
  echo "run.sh: $build is a sanitizer build ($sanitize); use a plain one" >&2
  exit 2
fi
cmake --build "$build" -j2 --target KelvraLogServer KelvraLoad

# The peers: rsyslog and syslog-ng-core (with loggen) conflict as installed packages, so both
# are unpacked into a prefix of their own; only their libraries are installed.
peers=$build/peers
prefix=$peers/prefix
mkdir -p "$peers/debs"
if ! command -v python3 >/dev/null || ! command -v ss >/dev/null; then
  apt-get install -y --no-install-recommends python3 iproute2 ||
    { apt-get update && apt-get install -y --no-install-recommends python3 iproute2; }
fi
if [ ! -x "$prefix/usr/sbin/rsyslogd" ] || [ ! -x "$prefix/usr/sbin/syslog-ng" ] ||
   [ ! -x "$prefix/usr/bin/loggen" ]; then
  rm -rf "$prefix" "$peers/debs"/*.deb
  (cd "$peers/debs" && { apt-get download rsyslog syslog-ng-core ||
     { apt-get update && apt-get download rsyslog syslog-ng-core; }; })
  for deb in "$peers/debs"/*.deb; do
    dpkg-deb -x "$deb" "$prefix"
  done
fi
# Their run-time libraries, when one is missing: the first choice of every dependency but the
# C library and the init scripts' helpers.
missing=()
unresolved=$(LD_LIBRARY_PATH=$prefix/usr/lib/syslog-ng ldd "$prefix/usr/sbin/rsyslogd" \
  "$prefix/usr/sbin/syslog-ng" "$prefix/usr/bin/loggen" \
  "$prefix"/usr/lib/x86_64-linux-gnu/rsyslog/im*.so "$prefix"/usr/lib/syslog-ng/3.38/*.so \
  2>/dev/null | grep -c 'not found' || true)
for package in rsyslog syslog-ng-core; do
  [ "$unresolved" -gt 0 ] || break
  for need in $(apt-cache show --no-all-versions "$package" | sed -n 's/^Depends: //p' |
                tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g'); do
    case $need in libc6|sysvinit-utils|lsb-base) continue ;; esac
    if ! dpkg-query -W -f='${Status}' "$need" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$need")
    fi
  done
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-peers.XXXXXX")
stamp=$(date -u +%Y%m%d-%H%M%S)
python3 "$here/peers.py" --prefix "$prefix" --server "$build/KelvraLogServer" \
  --load "$build/tools/KelvraLoad" --work "$work" --csv "$peers/peers-$stamp.csv" \
  --table "$peers/peers-$stamp.md" "${pass[@]}" &
pid=$!
status=0
wait "$pid" || status=$?
pid=
exit "$status"
