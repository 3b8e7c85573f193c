#!/bin/sh
# Checks a program of the Windows build as Windows will load it. The boot-time programs: a native-subsystem x64 PE
# image whose only import is ntdll.dll, as the Session Manager can start it. With "console" (the companion): a
# console x64 PE image importing only DLLs every Windows has (kernel32.dll, msvcrt.dll, ntdll.dll).
set -eu
exe="$1"
kind="${2:-native}"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
fail() { echo "check-pe-image: $exe: $*" >&2; exit 1; }
echo "$headers" | grep -q 'Magic[[:space:]]*020b' || fail "not a PE32+ (x64) image"
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [ "$kind" = console ]; then
  echo "$headers" | grep -Eq 'Subsystem[[:space:]]+00000003' || fail "subsystem is not console (3)"
  for dll in $dlls; do
    case "$dll" in kernel32.dll|msvcrt.dll|ntdll.dll) ;; *) fail "imports $dll, which not every Windows has" ;; esac
  done
  echo "$exe: PE32+ x64, console subsystem, imports $(echo $dlls | tr '\n' ' ')"
  exit 0
fi
echo "$headers" | grep -Eq 'Subsystem[[:space:]]+00000001' || fail "subsystem is not native (1)"
[ "$dlls" = "ntdll.dll" ] || fail "imports $(echo $dlls | tr '\n' ' '), expected ntdll.dll only"
echo "$exe: PE32+ x64, native subsystem, imports ntdll.dll only"
