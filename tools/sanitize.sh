#!/usr/bin/env bash
# Builds the frame, the three modules and the core with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC) into a venv of their own, then runs the
# test suite under them. Fails on a failing test and on any sanitizer report,
# including one written by a child process that the suite starts.
#
# Usage: tools/sanitize.sh [pytest arguments]   (default: the whole suite)
# Environment: VENV (default .venv-asan), BUILD_DIR (default build/asan).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${VENV:-.venv-asan}
build_dir=${BUILD_DIR:-build/asan}

bash tools/reliability-deps.sh sanitize
make build test-deps VENV="$venv" \
  BUILD_OPTS="-Cbuild-dir=$build_dir -Ccmake.define.VORPALINE_SANITIZE=ON"

# The interpreter is not instrumented: the runtime must be loaded before it.
# libstdc++ is preloaded too, or ASan finds no real __cxa_throw to forward to
# (the interpreter itself does not link it) and aborts at the first C++ throw.
libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  [ -f "$lib" ] || { echo "sanitize: $lib not found (g++ -print-file-name)" >&2; exit 1; }
done

reports=$(mktemp -d "${TMPDIR:-/tmp}/vorpaline-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT

# detect_leaks=0: the interpreter keeps much of its memory until exit by design,
# so leak reports would be all noise; reference leaks have their own gate
# (tools/leakhunt.sh). PYTHONMALLOC=malloc routes every object through ASan's
# allocator, so a use after free of a Python object is caught too.
status=0
(
  cd tests
  LD_PRELOAD="$libasan $libstdcxx" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "../$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:-.}"
) || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  for report in "$reports"/*; do
    echo "==== $report" >&2
    cat "$report" >&2
  done
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitize: the test run failed (status $status)" >&2
  exit "$status"
fi
echo "sanitize: no sanitizer reports"
