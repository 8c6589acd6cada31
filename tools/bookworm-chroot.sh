#!/usr/bin/env bash
# Makes, once, a minimal Debian bookworm tree for the wheel check: debootstrap's
# minbase with python3 (3.11) and python3-venv, nothing of the build's packages,
# and the wheels of the package's runtime dependencies (orjson, tqdm, the tree-sitter grammars) in
# /wheels, so that the check installs without a network in the tree.
#
#   tools/bookworm-chroot.sh FOLDER PYTHON
#
# PYTHON (a 3.11 on this machine) is the interpreter whose pip downloads those
# wheels. Needs root.
set -euo pipefail
root=$1
python=$2
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

[ -e "$root/.complete" ] && exit 0
[ "$(id -u)" -eq 0 ] || { echo "$0: debootstrap and chroot need root" >&2; exit 1; }
bash "$(dirname "$0")/apt-install-missing.sh" debootstrap

# Built beside its final place and moved there complete, so an interrupted run
# leaves nothing that looks usable.
rm -rf "$root.partial"
mkdir -p "$(dirname "$root")"
debootstrap --variant=minbase --include=python3,python3-venv bookworm "$root.partial" "$mirror"
# For PYTHON's own platform: the tree is the same Debian, architecture and Python.
"$python" -m pip download -q --only-binary=:all: --dest "$root.partial/wheels" orjson tqdm \
  tree-sitter-python tree-sitter-c tree-sitter-cpp tree-sitter-javascript tree-sitter-typescript tree-sitter-go \
  tree-sitter-rust tree-sitter-java tree-sitter-ruby
touch "$root.partial/.complete"
rm -rf "$root"
mv "$root.partial" "$root"
