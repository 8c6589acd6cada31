#!/usr/bin/env bash
# Runs a command as on a machine without simdjson, utf8proc, xxHash and RE2: in a
# private mount namespace their shared libraries, headers, pkg-config and CMake
# files are covered by an empty file (or folder), and LD_LIBRARY_PATH,
# LD_PRELOAD and the build search paths are emptied. What runs there can load
# only the copies it carries itself; the loader rejects a covered library as
# "file too short".
#
#   tools/without-native-libs.sh COMMAND [ARG...]
#
# Needs root, or unprivileged user namespaces (then the caller is mapped to root
# inside one). Prints on standard error how many paths it covered.
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

# Outside: make the cover files, run this script again in a new mount namespace,
# and remove them once it has ended (inside they are busy as mount sources).
if [ -z "${VORPALINE_LIBS_COVER:-}" ]; then
  cover=$(mktemp -d)
  trap 'rm -rf "$cover"' EXIT
  : >"$cover/empty-file"
  mkdir "$cover/empty-folder"
  namespace=(--mount --propagation private)
  [ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)
  status=0
  VORPALINE_LIBS_COVER=$cover unshare "${namespace[@]}" bash "$0" "$@" || status=$?
  exit "$status"
fi
cover=$VORPALINE_LIBS_COVER

# Where a distribution or a local install puts libraries, headers and their
# pkg-config and CMake files. -H descends into /lib and /lib64 also where they
# are links into /usr (a path covered twice is harmless).
search_roots=()
for root in /lib /lib64 /usr/lib /usr/lib64 /usr/local/lib /usr/local/lib64 \
            /usr/include /usr/local/include /usr/share/pkgconfig /usr/local/share/pkgconfig; do
  [ -d "$root" ] && search_roots+=("$root")
done

covered=0
while IFS= read -r -d '' path; do
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    mount --bind "$cover/empty-folder" "$path"
  else
    mount --bind "$cover/empty-file" "$path"
  fi
  covered=$((covered + 1))
done < <(find -H "${search_roots[@]}" -maxdepth 3 \
           \( -name 'libsimdjson*' -o -name 'simdjson*' \
              -o -name 'libutf8proc*' -o -name 'utf8proc*' \
              -o -name 'libxxhash*' -o -name 'xxhash*' -o -name 'xxh3.h' -o -name 'xxh_x86dispatch*' \
              -o -name 'libre2.*' -o -name 'libre2-*' -o -name 're2.pc' \) \
           -print0 2>/dev/null)
echo "without-native-libs: covered $covered paths of simdjson, utf8proc, xxHash and RE2" >&2

export LD_LIBRARY_PATH=
unset LD_PRELOAD PKG_CONFIG_PATH CMAKE_PREFIX_PATH CPATH LIBRARY_PATH VORPALINE_LIBS_COVER
exec "$@"
