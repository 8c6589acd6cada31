#!/usr/bin/env bash
# Builds the modules and the core against Debian's debug interpreter
# (python3.11-dbg) in a venv of their own and runs the test suite under
# tools/leakhunt.py, which repeats each test and fails it when the
# interpreter's reference count, memory blocks or file descriptors keep growing.
#
# Usage: tools/leakhunt.sh [--warmups N] [--rounds N] [pytest arguments]
# Environment: VENV (default .venv-dbg), BUILD_DIR (default build/dbg).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${VENV:-.venv-dbg}
build_dir=${BUILD_DIR:-build/dbg}

bash tools/reliability-deps.sh leakhunt
# -isystem makes GCC take the release pyconfig.h through the symlinked
# python3.11d headers, compiling the modules without reference debugging;
# plain -I keeps the debug one.
make build test-deps PYTHON=/usr/bin/python3.11d VENV="$venv" \
  BUILD_OPTS="-Cbuild-dir=$build_dir -Ccmake.define.CMAKE_NO_SYSTEM_FROM_IMPORTED=ON"

# A module built without Py_REF_DEBUG would make every count meaningless.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
for module in "$site"/vorpaline/*.so "$site"/vorpaline_core_py*.so; do
  if ! nm -D "$module" | grep ' U _Py_RefTotal$' >/dev/null; then
    echo "leakhunt: $module is not built for reference debugging" >&2
    exit 1
  fi
done

cd tests
"../$venv/bin/python" ../tools/leakhunt.py "$@"
