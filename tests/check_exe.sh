#!/usr/bin/env bash
# check_exe.sh PROGRAM.exe: the server as a file, as Windows will load it.
set -u
exe=$1
fail=0
check() {  # check DESCRIPTION COMMAND...
    if ! "${@:2}"; then echo "FAIL: $1"; fail=1; fi
}
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
format=$(x86_64-w64-mingw32-objdump -f "$exe")
resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)

check "PE32+ for x86-64" grep -q 'file format pei-x86-64' <<<"$format"
check "PE32+ magic" grep -qE '^Magic\s+020b' <<<"$headers"
check "console subsystem" grep -qE '^Subsystem\s+00000003' <<<"$headers"

dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$headers" | sort | tr '\n' ' ')
check "imports only system DLLs and the device library (got: $dlls)" \
    test "$dlls" = "KERNEL32.dll Vesk_Device.dll msvcrt.dll "
names=$(awk '/DLL Name: Vesk_Device.dll/{on=1; next} /DLL Name:|^$/{on=0} on && $2 ~ /^[0-9]+$/ {print $3}' <<<"$headers" | sort | tr '\n' ' ')
check "the four names from Vesk_Device.dll (got: $names)" \
    test "$names" = "CloseVeskDevice EnableZMQData OpenVeskDevice SetConfig_Bool "
check "no delay-load imports" grep -qE '^Entry d 0+ 0+ Delay Import Directory' <<<"$headers"

check "manifest is resource 1 of type 24" grep -qE '^1 24' <<<"$resources"
check "manifest asks for asInvoker without uiAccess" \
    grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' <<<"$resources"

[ $fail = 0 ] && echo "$exe: PE32+ x86-64 console program, imports and manifest as expected"
exit $fail
