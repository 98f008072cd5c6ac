#!/bin/sh
# The program must start on a bare Windows: it may import only DLLs that
# Windows itself ships (no libstdc++, libgcc or winpthread DLLs).
exe=$1
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || { echo "no imports found in $exe"; exit 1; }
echo "imports: $(echo $dlls)"
status=0
for dll in $dlls; do
  case $dll in
    kernel32.dll|user32.dll|msvcrt.dll) ;;
    api-ms-win-crt-*.dll|ucrtbase.dll) ;;
    *) echo "not shipped with Windows: $dll"; status=1 ;;
  esac
done
x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-x86-64' || { echo "not an x86-64 PE"; status=1; }
x86_64-w64-mingw32-objdump -p "$exe" | grep -q 'Subsystem[[:space:]]*00000003' || { echo "not a console program"; status=1; }
exit $status
