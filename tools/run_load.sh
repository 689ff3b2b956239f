#!/usr/bin/env bash
# Measures the server end to end with KelvraLoad: 1 and 10 TCP connections and UDP syslog, each
# against a fresh server of its own. Usage: tools/run_load.sh [build directory] [records]
set -euo pipefail
build=${1:-build}
records=${2:-200000}
cmake --build "$build" -j2 --target KelvraLogServer KelvraLoad
server="$build/KelvraLogServer"
load="$build/tools/KelvraLoad"
echo "== 1 TCP connection"
"$load" --server "$server" --records "$records" --connections 1
echo "== 10 TCP connections"
"$load" --server "$server" --records "$records" --connections 10
echo "== UDP syslog"
"$load" --server "$server" --records 0 --datagrams "$records"
