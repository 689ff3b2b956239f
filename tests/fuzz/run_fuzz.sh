#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and runs
# each one for a bounded time on its seed corpus. Fails on the first crash, leak, sanitizer report,
# time-out or broken check, and leaves the input that caused it in the work folder.
#
#   tests/fuzz/run_fuzz.sh [seconds per target] [target ...]
#
# Environment: KELVRA_FUZZ_BUILD (build folder, default build-fuzz), KELVRA_FUZZ_WORK (corpora
# grown by the run and crash inputs, default <build folder>/fuzz-work), KELVRA_FUZZ_INSTALL=1 to
# install clang and libclang-rt-14-dev with apt-get when they are missing (as CI does),
# KELVRA_FUZZ_JOBS (targets run at once, default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-40}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(TPKTReceiveFilter RecordDecoder CommonSection ProvidersSection FormatTimeMask
           ConnectionToFile)
fi
build=${KELVRA_FUZZ_BUILD:-build-fuzz}
work=${KELVRA_FUZZ_WORK:-$build/fuzz-work}

runtime_present() {
  command -v clang++ >/dev/null &&
    [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a" ]
}
if ! runtime_present; then
  if [ "${KELVRA_FUZZ_INSTALL:-0}" = 1 ]; then
    apt-get update && apt-get install -y clang libclang-rt-14-dev
  else
    echo "clang with the libFuzzer runtime is missing (Debian: clang libclang-rt-14-dev)" >&2
    exit 1
  fi
fi

started=$SECONDS
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DKELVRA_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kelvra_fuzz
echo "== fuzz targets built in $((SECONDS - started)) s"

# The log trees and configuration files of the targets go to memory when it can be written.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One libFuzzer process works on one core, so the targets run side by side, as many at once as
# there are cores (KELVRA_FUZZ_JOBS); each still gets its full time.
jobs=${KELVRA_FUZZ_JOBS:-$(nproc)}
# run_target <target>: one bounded run; its exit code goes to <work>/<target>/status.
run_target() {
  local target=$1 status=0
  local program="$build/tests/fuzz/${target}Fuzz" seeds="tests/fuzz/corpus/$target"
  local grown="$work/$target/corpus" crashes="$work/$target/crashes/"
  local max_len=()
  # Frames may be up to 65535 bytes long.
  if [ "$target" = TPKTReceiveFilter ]; then
    max_len=(-max_len=70000)
  fi
  # The grown corpus comes first: libFuzzer adds new inputs there and leaves the seeds alone.
  "$program" "$grown" "$seeds" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$crashes" "${max_len[@]}" >"$work/$target/fuzz.log" 2>&1 || status=$?
  echo "$status" >"$work/$target/status"
}

running=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/crashes"
  rm -f "$work/$target/status"
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "== $target for $seconds s"
  run_target "$target" &
  running=$((running + 1))
done
wait

summary=()
failed=0
for target in "${targets[@]}"; do
  log="$work/$target/fuzz.log"
  crashes="$work/$target/crashes/"
  status=$(cat "$work/$target/status" 2>/dev/null || echo "no status")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  if [ "$status" != 0 ]; then
    failed=1
    echo "$target FAILED (exit $status); its output:" >&2
    tail -n 60 "$log" >&2
    echo "crash inputs: $(ls "$crashes" | tr '\n' ' ')" >&2
  fi
  summary+=("$(printf '%-18s %10s runs  cov %5s  ft %6s  %s' "$target" "${runs:-?}" "${cov:-?}" \
    "${ft:-?}" "$([ "$status" = 0 ] && echo ok || echo FAILED)")")
done

echo "== fuzz summary (stage $((SECONDS - started)) s)"
printf '%s\n' "${summary[@]}"
exit "$failed"
