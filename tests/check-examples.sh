#!/bin/sh
# Keeps examples/ honest: the report on it must be the one shown in the
# documentation (tests/examples-report.tsv), and tools/make-examples must
# still write exactly the committed files, so nobody edits one without the
# other.
# Usage: check-examples.sh report BINARY SOURCE_DIR
#        check-examples.sh regenerate SOURCE_DIR
# Exit: 0 pass, 1 fail, 77 when python3 is missing for regenerate.
set -u
case $1 in
  report)
    binary=$2 source=$3
    cd "$source" || exit 1
    actual=$("$binary" examples; echo "status $?")
    expected=$(cat tests/examples-report.tsv; echo "status 0")
    if [ "$actual" != "$expected" ]; then
      echo "the report on examples/ differs from tests/examples-report.tsv:"
      printf '%s\n' "$actual" | diff tests/examples-report.tsv - || true
      exit 1
    fi
    ;;
  regenerate)
    source=$2
    if ! command -v python3 >/dev/null 2>&1; then
      echo "python3 is not installed; cannot run tools/make-examples"
      exit 77
    fi
    out=$(mktemp -d) || exit 1
    trap 'rm -rf "$out"' EXIT
    python3 "$source/tools/make-examples" "$out/examples" || exit 1
    if ! diff -r "$source/examples" "$out/examples"; then
      echo "tools/make-examples no longer writes the committed examples/"
      exit 1
    fi
    ;;
  *)
    echo "usage: $0 report BINARY SOURCE_DIR | regenerate SOURCE_DIR" >&2
    exit 2
    ;;
esac
