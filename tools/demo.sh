#!/usr/bin/env bash
# `make demo`: index a tree every machine has, the interpreter's standard library, and search it
# as a user would, each command shown before what it prints. The index goes under build/, never
# into the library. Usage: tools/demo.sh PYTHON [INDEX_FOLDER]
set -eu
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")  # a venv's link, not what it points at
index=$(realpath -m "${2:-build/demo-index}")
stdlib=$("$python" -c "import sysconfig; print(sysconfig.get_paths()['stdlib'])")

vorpaline() { "$python" -m vorpaline "$@"; }

# Prints a command as it would be typed, then runs it.
show() {
  local shown="" argument
  for argument in "$@"; do
    case $argument in
      *\"*) shown+=" '$argument'" ;;  # a query with a phrase in it, as it would be typed
      *[[:space:]\'\$\*]*) shown+=" \"$argument\"" ;;
      *) shown+=" $argument" ;;
    esac
  done
  printf '\n$%s\n' "$shown"
  "$@"
}

found_nothing() { [ $? -eq 1 ]; }  # a search's status when nothing matched: the demo goes on

# Left out, to stay well under a minute on two cores: installed packages, the test suite and IDLE
# (the rest is some 900 files, 13 MB).
export VORPALINE_EXTRA_IGNORE_PATTERNS="/site-packages/,/dist-packages/,/test/,/idlelib/"
printf '$ export VORPALINE_EXTRA_IGNORE_PATTERNS="%s"\n' "$VORPALINE_EXTRA_IGNORE_PATTERNS"
printf '$ cd %s\n' "$stdlib"
cd "$stdlib"
show vorpaline index --index "$index"
show vorpaline search "parse a url into its components" --index "$index" --top 2 || found_nothing
show vorpaline search '"def urlsplit" lang:python' --index "$index" --vimgrep || found_nothing
show vorpaline search 'temporary directory cleanup -test' --path 'tempfile.py' --path 'shutil.py' --index "$index" -l || found_nothing
show vorpaline def urlsplit --index "$index" || found_nothing
printf '\n$ vorpaline refs urlsplit --index %s | head -n 8\n' "$index"
{ vorpaline refs urlsplit --index "$index" || found_nothing; } | head -n 8
show vorpaline search "remove a temporary directory when done" --index "$index" --top 2 --files || found_nothing
show vorpaline grep --index "$index" -n 'def url(split|parse)\(' urllib || found_nothing
show vorpaline grep --index "$index" -F -c 'raise ValueError(' json email || found_nothing
show vorpaline grep --index "$index" -n -w -C 1 -m 1 urlsplit http/client.py || found_nothing
