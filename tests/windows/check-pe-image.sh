#!/bin/sh
# Checks that the Windows program is what the Session Manager can start: a native-subsystem x64 PE image whose
# only import is ntdll.dll.
set -eu
exe="$1"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
fail() { echo "check-pe-image: $exe: $*" >&2; exit 1; }
echo "$headers" | grep -q 'Magic[[:space:]]*020b' || fail "not a PE32+ (x64) image"
echo "$headers" | grep -Eq 'Subsystem[[:space:]]+00000001' || fail "subsystem is not native (1)"
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ "$dlls" = "ntdll.dll" ] || fail "imports $(echo $dlls | tr '\n' ' '), expected ntdll.dll only"
echo "$exe: PE32+ x64, native subsystem, imports ntdll.dll only"
