#!/usr/bin/env bash
# Builds the core's fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from its seed
# corpus: core_fuzzer (embedding) from fuzz/corpus, scan_fuzzer (the
# repository scan) from fuzz/scan-corpus. Fails on a crash, a sanitizer report,
# a failed check, a hang or a leak; libFuzzer leaves the input that did it in
# build/fuzz/artifacts/.
#
# Usage: tools/fuzz.sh [seconds]   (default 60, for each target)
# Environment: VENV, the venv whose cmake and ninja build it (default .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
venv=${VENV:-.venv}
build=build/fuzz

bash tools/reliability-deps.sh fuzz
"$venv/bin/cmake" -S fuzz -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DPython_EXECUTABLE=/usr/bin/python3.11 >/dev/null
"$venv/bin/cmake" --build "$build"
mkdir -p "$build/corpus" "$build/scan-corpus" "$build/artifacts"

# New inputs go to the scratch corpus under build/; the seeds are read only.
# Leaks are checked once, at exit, over the whole run: checking after every
# input costs a full heap scan each time the interpreter fills a cache.
run_target() {  # target, dictionary, scratch corpus, seed corpus
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$build/$1" \
    -max_total_time="$seconds" -detect_leaks=0 -timeout=30 -rss_limit_mb=4096 -max_len=4096 \
    -dict="$2" -print_final_stats=1 -artifact_prefix="$build/artifacts/$1-" "$3" "$4"
}
run_target core_fuzzer fuzz/core.dict "$build/corpus" fuzz/corpus
run_target scan_fuzzer fuzz/scan.dict "$build/scan-corpus" fuzz/scan-corpus
