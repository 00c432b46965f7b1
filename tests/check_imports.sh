#!/usr/bin/env bash
# The program runs elevated from a user-writable folder: it may import only
# DLLs that Windows always takes from the system folder. Everything else is
# loaded from the system folder at its point of use.
set -u
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll shlwapi.dll msvcrt.dll "
status=0
[ $# -gt 0 ] || { echo "no program given"; exit 1; }
for exe in "$@"; do
  [ -f "$exe" ] || { echo "FAIL: $exe does not exist"; status=1; continue; }
  dlls=$(objdump -p "$exe" 2>/dev/null | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$dlls" ] || { echo "FAIL: no import table read from $exe"; status=1; continue; }
  for dll in $dlls; do
    case "$allowed" in
      *" $dll "*) ;;
      *) echo "FAIL: $exe imports $dll"; status=1 ;;
    esac
  done
  echo "$exe imports: $(echo $dlls)"
done
exit $status
