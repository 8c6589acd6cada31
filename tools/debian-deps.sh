#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
set -euo pipefail
python=${1:-python3.11}

packages=(g++ make pkg-config libsimdjson-dev libxxhash-dev libutf8proc-dev libre2-dev)
if ! command -v "$python" >/dev/null 2>&1; then
  packages+=(python3.11 python3.11-venv python3.11-dev)
elif ! "$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  packages+=(python3.11-dev)
fi
if command -v "$python" >/dev/null 2>&1 && ! "$python" -c 'import ensurepip' 2>/dev/null; then
  packages+=(python3.11-venv)
fi

exec bash "$(dirname "$0")/apt-install-missing.sh" "${packages[@]}"
