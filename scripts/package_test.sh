#!/usr/bin/env bash
# Builds the Debian package of ntsnap (cpack -G DEB, in build-pkg/), unpacks it into a temporary
# root with dpkg-deb -x, and checks it there: its control fields, the man page, and that the
# packaged binary runs from that root and prints both reports.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh dpkg-dev >&2

cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DNTSNAP_WERROR=ON -DNTSNAP_TESTS=OFF \
      -DNTSNAP_BENCH=OFF >/dev/null
cmake --build build-pkg
rm -f build-pkg/ntsnap_*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
debs=(build-pkg/ntsnap_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || {
    echo "package_test: expected one build-pkg/ntsnap_*.deb, found: ${debs[*]}" >&2
    exit 1
}
deb=${debs[0]}

fail() {
    echo "package_test: $deb: $*" >&2
    exit 1
}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ntsnap ] || fail "package name '$(field Package)'"
[ "$(field Section)" = utils ] || fail "section '$(field Section)'"
[ "$(field Maintainer)" = "ntsnap developers" ] || fail "maintainer '$(field Maintainer)'"
[[ "$(field Depends)" == *libc6* ]] || fail "Depends '$(field Depends)' lacks libc6"
[ -n "$(field Description)" ] || fail "no description"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
exe=$root/usr/bin/ntsnap
page=$root/usr/share/man/man1/ntsnap.1.gz
[ -x "$exe" ] || fail "no usr/bin/ntsnap"
[ -f "$page" ] || fail "no usr/share/man/man1/ntsnap.1.gz"
gzip -dc "$page" >"$root/ntsnap.1"
bash scripts/lint_man.sh "$root/ntsnap.1" || fail "the installed man page does not render cleanly"

# The packaged binary, run from the temporary root: both reports with no option, one with each.
status=0
"$exe" >"$root/both.txt" || status=$?
[ $status -eq 0 ] || fail "ntsnap exited with $status: $(head -c 300 "$root/both.txt")"
LC_ALL=C grep -aq '^### PROCESS SNAPSHOT ' "$root/both.txt" || fail "no process report"
LC_ALL=C grep -aq '^### THREAD SNAPSHOT ' "$root/both.txt" || fail "no thread reports"
[ "$(LC_ALL=C grep -a -n -m1 '^### PROCESS' "$root/both.txt" | cut -d: -f1)" -lt \
  "$(LC_ALL=C grep -a -n -m1 '^### THREAD' "$root/both.txt" | cut -d: -f1)" ] ||
    fail "the thread reports come before the process report"
"$exe" /p >"$root/procs.txt" || fail "ntsnap /p failed"
! LC_ALL=C grep -aq '^### THREAD SNAPSHOT ' "$root/procs.txt" || fail "/p printed thread reports"
"$exe" /T >"$root/threads.txt" || fail "ntsnap /T failed"
! LC_ALL=C grep -aq '^### PROCESS SNAPSHOT ' "$root/threads.txt" || fail "/T printed the process report"

echo "package_test: $deb ($(field Version), Depends: $(field Depends)): installs and runs," \
     "$(LC_ALL=C grep -ac '^### THREAD SNAPSHOT ' "$root/both.txt") thread reports"
