#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
set -euo pipefail
python=${1:-python3.11}

packages=(g++ make pkg-config libsimdjson-dev libxxhash-dev libutf8proc-dev)
if ! command -v "$python" >/dev/null 2>&1; then
  packages+=(python3.11 python3.11-venv python3.11-dev)
elif ! "$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  packages+=(python3.11-dev)
fi
if command -v "$python" >/dev/null 2>&1 && ! "$python" -c 'import ensurepip' 2>/dev/null; then
  packages+=(python3.11-venv)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing Debian packages: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
