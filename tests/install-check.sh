#!/usr/bin/env bash
# Installs wavtally the ways the README tells a user to, and checks each one
# end to end: `make install` into a staging folder, then the Debian package
# from `make package`, checked by lintian, its SHA256SUMS and its binary's
# hardening (hardening-check), installed with dpkg, run, and removed again
# without a trace. dpkg changes the system, so this runs in CI (as root), not in
# `make test`.
# Usage: tests/install-check.sh    Exit: 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

RELEASE_BUILD=${RELEASE_BUILD:-build-release}
expected=tests/examples-report.tsv
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "install-check: FAIL: $*" >&2
  exit 1
}
step() { echo "install-check: $*"; }

# The report an installed binary gives on examples/ must be the documented one.
check_report() {
  local binary=$1
  "$binary" examples >"$tmp/report.tsv" || fail "$binary examples exited with $?"
  cmp -s "$tmp/report.tsv" "$expected" || {
    diff "$expected" "$tmp/report.tsv" || true
    fail "$binary examples differs from $expected"
  }
}

step "make install DESTDIR=$tmp/stage"
make install DESTDIR="$tmp/stage" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log"
  fail "make install"
}
stage=$tmp/stage/usr/local
[[ -x $stage/bin/wavtally ]] || fail "no executable $stage/bin/wavtally"
[[ -f $stage/share/man/man1/wavtally.1.gz ]] || fail "no $stage/share/man/man1/wavtally.1.gz"
gzip -dc "$stage/share/man/man1/wavtally.1.gz" >"$tmp/wavtally.1"
cmp -s "$tmp/wavtally.1" doc/wavtally.1 || fail "the installed manual page is not doc/wavtally.1"
[[ -f $stage/share/doc/wavtally/copyright ]] || fail "no $stage/share/doc/wavtally/copyright"
[[ -f $stage/share/doc/wavtally/changelog.gz ]] || fail "no $stage/share/doc/wavtally/changelog.gz"
gzip -dc "$stage/share/doc/wavtally/changelog.gz" | cmp -s - packaging/changelog ||
  fail "the installed changelog is not packaging/changelog"
# The README lists exactly the files installed, as the package puts them.
listed=$(awk '/<!-- package contents -->/ { on = 1; next }
  on && /^```/ { if (++fences == 2) exit; next } on { print }' README.md | sort)
[[ -n $listed ]] || fail "README.md lists no package contents"
staged=$(cd "$stage" && find . -type f | sed 's|^\.|/usr|' | sort)
[[ $staged == "$listed" ]] || fail "make install gives"$'\n'"$staged"$'\n'"where README.md lists"$'\n'"$listed"
check_report "$stage/bin/wavtally"

step "make install PREFIX=/opt/wavtally DESTDIR=$tmp/opt"
make install PREFIX=/opt/wavtally DESTDIR="$tmp/opt" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log"
  fail "make install PREFIX=/opt/wavtally"
}
[[ -x $tmp/opt/opt/wavtally/bin/wavtally ]] || fail "PREFIX was not honoured"
[[ -f $tmp/opt/opt/wavtally/share/man/man1/wavtally.1.gz ]] || fail "PREFIX was not honoured"

step "make package"
rm -f "$RELEASE_BUILD"/wavtally_*.deb
make package >"$tmp/package.log" 2>&1 || {
  cat "$tmp/package.log"
  fail "make package"
}
debs=("$RELEASE_BUILD"/wavtally_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one .deb in $RELEASE_BUILD"
deb=${debs[0]}
[[ $(dpkg-deb -f "$deb" Section) == sound ]] || fail "the package's section is not sound"
[[ -n $(dpkg-deb -f "$deb" Depends) ]] || fail "the package declares no dependencies"
dpkg-deb -c "$deb" | awk '{ print $NF }' >"$tmp/contents"
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $NF); print $NF }' | sort)
[[ $packaged == "$listed" ]] || fail "$deb holds"$'\n'"$packaged"$'\n'"where README.md lists"$'\n'"$listed"
for file in usr/bin/wavtally usr/share/man/man1/wavtally.1.gz usr/share/doc/wavtally/copyright \
  usr/share/doc/wavtally/changelog.gz usr/share/bash-completion/completions/wavtally \
  usr/share/zsh/vendor-completions/_wavtally; do
  grep -qxF "./$file" "$tmp/contents" || fail "no $file in $deb"
done
# lintian does not compare the two in a package built without a source package.
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[[ $changelog_version == "$(dpkg-deb -f "$deb" Version)" ]] ||
  fail "packaging/changelog is at $changelog_version, the package at $(dpkg-deb -f "$deb" Version)"

step "lintian $deb"
command -v lintian >/dev/null 2>&1 || fail "lintian is not installed (apt-get install lintian)"
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings on $deb"

step "hardening-check of usr/bin/wavtally in $deb"
(cd "$RELEASE_BUILD" && sha256sum --check --quiet SHA256SUMS) ||
  fail "$RELEASE_BUILD/SHA256SUMS does not match $deb"
command -v hardening-check >/dev/null 2>&1 ||
  fail "hardening-check is not installed (apt-get install devscripts)"
dpkg-deb -x "$deb" "$tmp/unpacked"
# Debian 12's hardening flags have no -fcf-protection, so control-flow
# protection is not asked for.
hardening-check --nocfprotection "$tmp/unpacked/usr/bin/wavtally" ||
  fail "usr/bin/wavtally in $deb is not hardened"
if readelf -S -W "$tmp/unpacked/usr/bin/wavtally" | grep -qF ' .comment '; then
  fail "usr/bin/wavtally in $deb keeps its .comment section"
fi

if [[ $(id -u) -ne 0 ]]; then
  step "not root: skipping dpkg -i / dpkg -r of $deb"
  exit 0
fi
if dpkg -s wavtally >/dev/null 2>&1; then
  fail "a wavtally package is installed already; remove it first (dpkg -r wavtally)"
fi

step "dpkg -i $deb"
dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || {
  cat "$tmp/dpkg.log"
  fail "dpkg -i"
}
# From here on a failure must not leave the package on the machine.
trap 'dpkg -r wavtally >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
[[ $(command -v wavtally) == /usr/bin/wavtally ]] || fail "wavtally is not /usr/bin/wavtally on PATH"
check_report wavtally
if [[ -x build/wavtally ]]; then
  build/wavtally examples | cmp -s - "$tmp/report.tsv" ||
    fail "the packaged wavtally and build/wavtally report differently"
fi
if command -v man >/dev/null 2>&1; then
  [[ $(man -w wavtally) == /usr/share/man/man1/wavtally.1.gz ]] || fail "man does not find wavtally(1)"
  warnings=$(MANWIDTH=80 man --warnings wavtally 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man wavtally warns: $warnings"
fi
bash tests/check-manpage.sh "$tmp/wavtally.1" || fail "the manual page does not render cleanly"

step "dpkg -r wavtally"
dpkg -L wavtally >"$tmp/files"
dpkg -r wavtally >"$tmp/dpkg.log" 2>&1 || {
  cat "$tmp/dpkg.log"
  fail "dpkg -r"
}
trap 'rm -rf "$tmp"' EXIT
status=$(dpkg-query -W -f '${db:Status-Status}' wavtally 2>/dev/null || echo not-installed)
[[ $status == not-installed ]] || fail "dpkg still knows wavtally as $status"
while read -r file; do
  [[ -d $file ]] && continue # shared folders such as /usr/bin stay
  [[ ! -e $file && ! -L $file ]] || fail "$file is left after dpkg -r"
done <"$tmp/files"
step "all install checks passed"
