#!/usr/bin/env bash
# Loads the bash completion the way bash-completion does and checks that
# DIR completes to folders only, and an option to -h and --help.
# Usage: check-completion.sh COMPLETION_FILE    Exit: 0 pass, 1 fail.
set -u
file=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/library" "$work/lines of text" "$work/other"
touch "$work/list.wav" "$work/linked.mid"
cd "$work" || exit 1
# shellcheck source=/dev/null
source "$file" || { echo "cannot load $file"; exit 1; }
complete -p wavtally >/dev/null || { echo "no completion for wavtally after loading $file"; exit 1; }
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _wavtally
  ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' '|'
}
status=0
check() {
  local got
  got=$(complete_words "${@:2}")
  if [[ $got != "$1" ]]; then
    echo "FAIL: completing '${*:2}': got '$got', expected '$1'"
    status=1
  fi
}
check 'library|lines of text|' wavtally li
check 'library|lines of text|other|' wavtally ''
check '--help|-h|' wavtally -
check '--help|' wavtally --
check '' wavtally library li
((status == 0)) && echo "completion offers folders only"
exit $status
