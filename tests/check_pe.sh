#!/usr/bin/env bash
# check_pe.sh VERSION VeskServer.exe Vesk_Device.dll: both files as Windows loads and describes them.
set -u
version=$1 exe=$2 dll=$3 fail=0
check() { if ! "${@:2}"; then echo "FAIL: $1"; fail=1; fi; }  # check DESCRIPTION COMMAND...
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
four="CloseVeskDevice EnableZMQData OpenVeskDevice SetConfig_Bool "  # the library's names, sorted

check "PE32+ for x86-64" grep -q 'file format pei-x86-64' <<<"$headers"
check "PE32+ magic" grep -qE '^Magic\s+020b' <<<"$headers"
check "console subsystem" grep -qE '^Subsystem\s+00000003' <<<"$headers"

dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$headers" | sort | tr '\n' ' ')
check "imports only system DLLs and the device library (got: $dlls)" \
    test "$dlls" = "KERNEL32.dll Vesk_Device.dll msvcrt.dll "
names=$(awk '/DLL Name: Vesk_Device.dll/{on=1; next} /DLL Name:|^$/{on=0} on && $2 ~ /^[0-9]+$/ {print $3}' <<<"$headers" | sort | tr '\n' ' ')
check "the four names from Vesk_Device.dll (got: $names)" test "$names" = "$four"
check "no delay-load imports" grep -qE '^Entry d 0+ 0+ Delay Import Directory' <<<"$headers"

check "manifest is resource 1 of type 24" grep -qE '^1 24' <<<"$resources"
check "manifest asks for asInvoker without uiAccess" \
    grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' <<<"$resources"

dll_headers=$(x86_64-w64-mingw32-objdump -p "$dll")
dll_dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$dll_headers" | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
check "$dll imports only Windows system DLLs, libzmq linked in (got: $dll_dlls)" \
    test "$dll_dlls" = "ADVAPI32.DLL IPHLPAPI.DLL KERNEL32.DLL MSVCRT.DLL WS2_32.DLL "
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $3; next} on {exit}' \
    <<<"$dll_headers" | sort | tr '\n' ' ')
check "$dll exports exactly the four names (got: $exports)" test "$exports" = "$four"

# expect_version FILE RESOURCES NAME DESCRIPTION-PATTERN: its VERSIONINFO, as windres prints it back
expect_version() {
    check "$1: file and product version $version, numbers too" grep -qzP \
        "FILEVERSION ${version//./, }, 0\n PRODUCTVERSION ${version//./, }, 0\n" <<<"$2"
    local field
    for field in "FileVersion=$version" "ProductVersion=$version" "ProductName=VeskServer" \
        "InternalName=$3" "OriginalFilename=$3"; do
        check "$1: $field" grep -qF "VALUE \"${field%%=*}\", \"${field#*=}\"" <<<"$2"
    done
    check "$1: FileDescription says $4" grep -qE "VALUE \"FileDescription\", \".*$4" <<<"$2"
}
expect_version "$exe" "$resources" VeskServer.exe "VeskServer"
expect_version "$dll" "$(x86_64-w64-mingw32-windres -i "$dll" -O rc)" Vesk_Device.dll "stand-in for development and tests"

[ $fail = 0 ] && echo "$exe, $dll: PE32+ x86-64, imports, manifest and versions as expected"
exit $fail
