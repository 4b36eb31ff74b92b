#!/bin/sh
# Renders a manual page the way man(1) does and fails on any warning, so a
# roff mistake shows up here rather than as a garbled page on a user's screen.
# Usage: check-manpage.sh PAGE    Exit: 0 clean, 1 warnings, 77 no groff.
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed (apt-get install groff-base); cannot check $page"
  exit 77
fi
status=0
warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
  status=1
fi
# man adds its own preprocessing and locale handling on top of groff.
if command -v man >/dev/null 2>&1; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    printf 'man warns about %s:\n%s\n' "$page" "$warnings"
    status=1
  fi
fi
exit $status
