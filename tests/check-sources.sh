#!/bin/sh
# CMakeLists.txt names every source file, so a file that is committed but
# not named there would silently stay out of the build: a new test would
# never run. This fails on such a file. Files git does not track are left
# alone, as a stray file must not change the build either way.
# Usage: check-sources.sh LISTED SOURCE_DIR
#   LISTED: the files CMakeLists.txt names, one a line, relative to SOURCE_DIR.
# Exit: 0 pass, 1 fail, 77 when SOURCE_DIR is not a git checkout.
set -u
listed=$1 source=$2
if ! command -v git >/dev/null 2>&1 || ! git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
  echo "$source is not a git checkout; cannot tell which files are committed"
  exit 77
fi
unlisted=$(git -C "$source" ls-files -- 'src/*.cc' 'tests/*.cc' | grep -vxF -f "$listed")
if [ -n "$unlisted" ]; then
  echo "committed but not named in CMakeLists.txt, so not built:"
  printf '%s\n' "$unlisted"
  exit 1
fi
