#!/usr/bin/env bash
# Soak test: builds the server and runs it for N minutes (default 10) under mixed TCP and UDP load
# with connection churn, then checks that its descriptors, threads and memory are back at their
# starting level. Not part of CI: it takes more than ten minutes.
#
#   bench/soak/run_soak.sh [minutes] [build folder] [more soak.py options]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-10}
build=${2:-build}
shift $(($# < 2 ? $# : 2))
cmake --build "$build" -j2 --target KelvraLogServer
exec python3 bench/soak/soak.py --server "$build/KelvraLogServer" --minutes "$minutes" "$@"
