#!/usr/bin/env bash
# Checks the Windows build: a 32-bit PE console program that imports only KERNEL32, USER32 and the
# C runtime, and that reaches the native query only by name at run time (the name is in the file,
# the import tables do not hold it).
#
#   bash scripts/check_exe.sh [build-win/ntsnap.exe]
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build-win/ntsnap.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

fail() {
    echo "check_exe: $exe: $*" >&2
    exit 1
}

[ -f "$exe" ] || fail "no such file"

# Unsigned little-endian integer of $2 bytes at offset $1.
uint() { od -An -t"u$2" -j "$1" -N "$2" "$exe" | tr -d ' \n'; }

[ "$(head -c 2 "$exe")" = "MZ" ] || fail "no MZ header"
pe=$(uint 60 4)
[ "$(od -An -c -j "$pe" -N 4 "$exe" | tr -d ' ')" = 'PE\0\0' ] || fail "no PE signature at $pe"
machine=$(uint $((pe + 4)) 2)
flags=$(uint $((pe + 22)) 2)
magic=$(uint $((pe + 24)) 2)
subsystem=$(uint $((pe + 24 + 68)) 2)
[ "$machine" -eq $((0x14c)) ] || fail "machine $(printf 0x%x "$machine"), not i386"
[ "$magic" -eq $((0x10b)) ] || fail "optional header magic $(printf 0x%x "$magic"), not PE32"
[ $((flags & 0x0002)) -ne 0 ] || fail "not marked executable"
[ $((flags & 0x2000)) -eq 0 ] || fail "marked as a DLL"
# The records' name pointers are 32-bit and the blocks of LocalAlloc must lie below 2 GiB.
[ $((flags & 0x0020)) -eq 0 ] || fail "marked large-address aware"
[ "$subsystem" -eq 3 ] || fail "subsystem $subsystem, not the console (3)"

command -v "$objdump" >/dev/null || fail "$objdump not found (bash scripts/windows.sh installs it)"
dump=$("$objdump" -p "$exe")
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
[ ${#dlls[@]} -gt 0 ] || fail "no import tables found"
for dll in "${dlls[@]}"; do
    case "${dll,,}" in
    kernel32.dll | user32.dll | msvcrt.dll) ;;
    *) fail "imports $dll; only KERNEL32, USER32 and the C runtime (msvcrt) are allowed" ;;
    esac
done
printf '%s\n' "${dlls[@],,}" | grep -qx kernel32.dll || fail "does not import KERNEL32"
printf '%s\n' "${dlls[@],,}" | grep -qx user32.dll || fail "does not import USER32 (wvsprintfW)"

# The member names of the import tables: the lines after a "DLL Name" line that end in a name.
imported=$(awk '/DLL Name:/ {on = 1; next} on && NF == 0 {on = 0} on && NF >= 3 {print $NF}' \
    <<<"$dump")
! grep -qx NtQuerySystemInformation <<<"$imported" || fail "imports NtQuerySystemInformation"
grep -qx GetProcAddress <<<"$imported" || fail "does not import GetProcAddress"
LC_ALL=C grep -qa 'NtQuerySystemInformation' "$exe" || fail "the name NtQuerySystemInformation is missing"

echo "check_exe: $exe: PE32 i386 console program; imports ${dlls[*]}; NtQuerySystemInformation by name only"
