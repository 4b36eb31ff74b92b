#!/usr/bin/env bash
# Checks that a package is reproducible: runs `make TARGET` in two fresh
# copies of this checkout, one after the other, in folders of different path
# lengths and with different umasks, time zones and locales, and compares
# the SHA256SUMS that each leaves in FOLDER and every package it names, byte
# for byte. A git checkout is copied by cloning its last commit; anything
# else by copying it without its build folders.
# Usage: tests/check-reproducible.sh TARGET FOLDER
#        (package build-release, package-windows build-windows)
# Exit: 0 when both copies made the same packages.
set -euo pipefail

if (($# != 2)); then
  echo "usage: $0 TARGET FOLDER" >&2
  exit 2
fi
target=$1
folder=$2
source=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/wavtally-reproducible-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "check-reproducible: FAIL: $*" >&2
  exit 1
}
step() { echo "check-reproducible: $*"; }

# Copies the checkout to DESTINATION.
copy_checkout() {
  local destination=$1
  if git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
    git clone -q --no-hardlinks "$source" "$destination"
    git -C "$destination" checkout -q --detach "$(git -C "$source" rev-parse HEAD)"
  else
    mkdir -p "$destination"
    tar -C "$source" --exclude='./build*' -cf - . | tar -C "$destination" -xf -
  fi
}

# Builds the packages in a fresh copy at DESTINATION with umask MASK and
# the time zone and locale given.
build_copy() {
  local destination=$1 mask=$2 zone=$3 locale=$4
  step "make $target in $destination (umask $mask, TZ=$zone, LC_ALL=$locale)"
  (
    umask "$mask"
    copy_checkout "$destination"
    cd "$destination"
    env -u SOURCE_DATE_EPOCH TZ="$zone" LC_ALL="$locale" make "$target" >"$destination.log" 2>&1
  ) || {
    tail -n 40 "$destination.log" >&2 || true
    fail "make $target in $destination"
  }
  [[ -s $destination/$folder/SHA256SUMS ]] || fail "make $target wrote no $folder/SHA256SUMS"
  (cd "$destination/$folder" && sha256sum --check --quiet SHA256SUMS) ||
    fail "$destination/$folder/SHA256SUMS does not match the packages beside it"
}

first=$tmp/a
second=$tmp/a-copy-in-a-longer-folder/b
build_copy "$first" 022 UTC C.UTF-8
build_copy "$second" 077 Pacific/Kiritimati C
cmp -s "$first/$folder/SHA256SUMS" "$second/$folder/SHA256SUMS" || {
  diff "$first/$folder/SHA256SUMS" "$second/$folder/SHA256SUMS" >&2 || true
  fail "the two copies' $folder/SHA256SUMS differ"
}
while read -r _ package; do
  cmp "$first/$folder/$package" "$second/$folder/$package" ||
    fail "$package differs between the two copies"
  step "$package is the same from both copies"
done <"$first/$folder/SHA256SUMS"
