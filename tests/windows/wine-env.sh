# Sourced by the scripts that run wavtally.exe under Wine: sets Wine up to run
# quietly and unattended in a prefix of its own, made on first use.
# Usage: . wine-env.sh DEFAULT_PREFIX    (WINEPREFIX, when set, wins)
# Returns 1 when the prefix cannot be made.
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$1}
# Without these Wine offers to download Mono and Gecko, which nothing here
# needs and CI could not fetch.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns Unix names into UTF-16 by the locale's character set.
export LC_ALL=C.UTF-8

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  started=$SECONDS
  if ! wineboot -i >/dev/null 2>&1; then
    echo "wineboot -i failed for $WINEPREFIX" >&2
    return 1
  fi
  echo "Wine prefix $WINEPREFIX made in $((SECONDS - started)) s"
fi
