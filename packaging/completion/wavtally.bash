# bash completion for wavtally: its one argument is a folder (DIR), or -h,
# --help. Files are never offered: the tool takes no file.
_wavtally() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  ((COMP_CWORD == 1)) || return 0
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-h --help' -- "$cur")
    return 0
  fi
  # Folder names are quoted and get their trailing slash as file names do.
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -d -- "$cur")
}
complete -F _wavtally wavtally wavtally.exe
