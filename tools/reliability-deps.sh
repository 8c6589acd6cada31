#!/usr/bin/env bash
# Installs the Debian packages that one reliability gate needs, skipping those
# already present. Usage: reliability-deps.sh sanitize|leakhunt|fuzz
set -euo pipefail

case "${1:-}" in
  # g++ brings libasan and libubsan with it.
  sanitize) packages=(g++) ;;
  # The debug interpreter, its headers (python3.11d) and the venv module.
  leakhunt) packages=(python3.11-dbg python3.11-venv) ;;
  # libFuzzer and clang's sanitizer runtimes; the fuzz target embeds the system
  # interpreter, so it needs its shared library and headers.
  fuzz) packages=(clang-14 libclang-rt-14-dev python3.11 libpython3.11-dev) ;;
  *) echo "usage: $0 sanitize|leakhunt|fuzz" >&2; exit 2 ;;
esac

exec bash "$(dirname "$0")/apt-install-missing.sh" "${packages[@]}"
