#!/usr/bin/env bash
# One fuzzer's run: from the seeds in the repository and what earlier runs found (kept in
# WORK/found, never in the repository), for SECONDS, with ASan's and libFuzzer's memory limits.
# A crash, a leak, a timeout or an allocation beyond the limit fails the run and leaves the
# input in WORK/artifacts. usage: run_fuzzer.sh FUZZER SEEDS WORK SECONDS
set -euo pipefail
fuzzer="$1" seeds="$2" work="$3" seconds="$4"
mkdir -p "$work/found" "$work/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=256 \
  -max_len=32768 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/found" "$seeds"
