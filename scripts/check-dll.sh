#!/bin/sh
# check-dll.sh OBJDUMP DLL: the plug-in DLL exports its module descriptor and
# nothing else, and imports system DLLs only (the compiler's runtime is linked
# in, so a user needs no other file beside it).
set -u
objdump=$1
dll=$2
table=$("$objdump" -p "$dll") || { echo "$objdump cannot read $dll"; exit 1; }

exports=$(printf '%s\n' "$table" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^$/ {on = 0} on {print $NF}')
imports=$(printf '%s\n' "$table" | awk '/DLL Name:/ {print $3}' | sort)
unexpected=$(printf '%s\n' "$imports" | grep -v -i -x -e kernel32.dll -e user32.dll -e msvcrt.dll)

passed=0
failed=0
if [ "$exports" = "_mod_descrip" ]; then
  passed=$((passed + 1))
else
  echo "exports of $dll, expected _mod_descrip only:"
  printf '%s\n' "$exports"
  failed=$((failed + 1))
fi
if [ -n "$imports" ] && [ -z "$unexpected" ]; then
  passed=$((passed + 1))
else
  echo "imports of $dll beyond the system's DLLs:"
  printf '%s\n' "${unexpected:-(no import table)}"
  failed=$((failed + 1))
fi
echo "imports: $(echo $imports)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
