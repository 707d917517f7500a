#!/usr/bin/env bash
# check_packages.sh DIST VERSION: the release archives that ./scripts/package made, as a user
# unpacks and runs them.
set -u
dist=$1
version=$2
fail=0
check() {  # check DESCRIPTION COMMAND...
    if ! "${@:2}"; then echo "FAIL: $1"; fail=1; fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

windows=VeskServer-$version-windows-x64
simulator=VeskServer-$version-windows-x64-simulator
linux=VeskServer-$version-linux-x86_64
entries() {  # entries ARCHIVE: its entries, one a line, in archive order
    case $1 in
    *.zip) unzip -Z1 "$dist/$1" ;;
    *) tar tzf "$dist/$1" ;;
    esac
}
expect_entries() {  # expect_entries ARCHIVE ENTRY...
    local want got
    want=$(printf '%s\n' "${@:2}")
    got=$(entries "$1")
    check "$1 holds exactly: ${*:2} (got: $(echo $got))" test "$got" = "$want"
}
expect_entries "$windows.zip" "$windows/LICENSE.txt" "$windows/README.txt" "$windows/THIRD-PARTY-NOTICES.txt" \
    "$windows/VeskServer.exe"
expect_entries "$simulator.zip" "$simulator/LICENSE.txt" "$simulator/README.txt" "$simulator/THIRD-PARTY-NOTICES.txt" \
    "$simulator/VeskServer.exe" "$simulator/Vesk_Device.dll" "$simulator/vesk-listen.exe"
expect_entries "$linux.tar.gz" "$linux/LICENSE" "$linux/README.txt" "$linux/VeskServer" "$linux/libVesk_Device.so" \
    "$linux/vesk-listen"

# expect_text DESCRIPTION TEXT PATTERN...: TEXT holds a line matching each extended PATTERN
expect_text() {
    local pattern
    for pattern in "${@:3}"; do
        check "$1 names: $pattern" grep -qE "$pattern" <<<"$2"
    done
}
for archive in "$windows" "$simulator"; do
    check "$archive: LICENSE.txt is the project's MIT licence, CR LF" \
        test "$(unzip -p "$dist/$archive.zip" "$archive/LICENSE.txt")" = "$(sed 's/$/\r/' "$(dirname "$0")/../LICENSE")"
    check "$archive: the notices have CR LF line ends" \
        bash -c "! unzip -p '$dist/$archive.zip' '$archive/THIRD-PARTY-NOTICES.txt' | grep -qv \$'\r\$'"
    check "$archive: README.txt points at the licence and the notices" \
        bash -c "unzip -p '$dist/$archive.zip' '$archive/README.txt' | tr -d '\r' | tr '\n' ' ' | grep -q 'LICENSE.txt.*THIRD-PARTY-NOTICES.txt'"
done
check "$linux: LICENSE is the project's MIT licence" \
    bash -c "tar xzf '$dist/$linux.tar.gz' -O '$linux/LICENSE' | cmp -s - '$(dirname "$0")/../LICENSE'"
operator_notices=$(unzip -p "$dist/$windows.zip" "$windows/THIRD-PARTY-NOTICES.txt" | tr -d '\r')
expect_text "the operator's notices" "$operator_notices" '^  - the mingw-w64 runtime.*gdtoa' 'License: ZPL-2.1' \
    'Files: mingw-w64-crt/gdtoa/'
simulator_notices=$(unzip -p "$dist/$simulator.zip" "$simulator/THIRD-PARTY-NOTICES.txt" | tr -d '\r')
expect_text "the simulator's notices" "$simulator_notices" '^  - the mingw-w64 runtime.*gdtoa' 'License: ZPL-2.1' \
    'Files: mingw-w64-crt/gdtoa/' '^  - winpthreads' 'Files: mingw-w64-libraries/winpthreads/' \
    '^  - the GCC runtime libraries libstdc\+\+ and libgcc' 'GCC RUNTIME LIBRARY EXCEPTION' \
    '^  - libzmq [0-9]+\.[0-9]+\.[0-9]+, LGPL-3.0-or-later' "Debian's source package zeromq3 [0-9.]+-[0-9]+" \
    'GNU LESSER GENERAL PUBLIC LICENSE' 'SPECIAL EXCEPTION GRANTED BY COPYRIGHT HOLDERS'
check "the operator's zip carries no device library" \
    bash -c "! unzip -Z1 '$dist/$windows.zip' | grep -qi vesk_device.dll"
check "the operator's README.txt has CR LF line ends" \
    bash -c "unzip -p '$dist/$windows.zip' '$windows/README.txt' | grep -q \$'Vesk_Device.dll.*\r\$'"
check "SHA256SUMS matches the three archives" bash -c "cd '$dist' && sha256sum --quiet -c SHA256SUMS"

# run_unpacked DESCRIPTION FOLDER EOL COMMAND...: an orderly session of the unpacked server,
# started in FOLDER, on its stand-in, which says on standard error that it is one.
run_unpacked() {
    local out status
    out=$(cd "$2" && printf 'q\n' | VESK_DEVICE_ENDPOINT='tcp://127.0.0.1:*' "${@:4}" 2>"$work/stderr")
    status=$?
    check "$1: status 0 (got $status)" test "$status" = 0
    check "$1: both lines (got: $out)" test "$out" = "VeskServer Start!$3VeskServer Closed!${3%$'\n'}"
    check "$1: ran on the stand-in beside it" grep -q 'stand-in library' "$work/stderr"
}
mkdir "$work/linux" "$work/windows"
tar xzf "$dist/$linux.tar.gz" -C "$work/linux"
# The unpacked Linux server runs with a /tmp and a network namespace of its own, so it never
# meets the lock of a copy that whoever runs this has running. Its folder, which may lie under
# /tmp, is carried over from the shell's own working directory; the new namespace's loopback,
# where the stand-in publishes, starts down.
private_tmp=(unshare -mn)
[ "$(id -u)" = 0 ] || private_tmp=(unshare -Urmn)
private_tmp+=(sh -c 'here=$PWD; mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && mkdir -p "$here" &&
    mount --no-canonicalize --bind "/proc/$$/cwd" "$here" && { ! command -v ip >/dev/null || ip link set lo up; } &&
    cd "$here" && exec "$@"' sh)
if "${private_tmp[@]}" true 2>/dev/null; then
    run_unpacked "unpacked Linux archive" "$work/linux/$linux" $'\n' "${private_tmp[@]}" ./VeskServer
else
    echo "SKIPPED: the unpacked Linux archive's run, which needs a mount and network namespace of its own"
fi
unzip -q "$dist/$simulator.zip" -d "$work/windows"
run_unpacked "unpacked simulator zip under Wine" "$work/windows/$simulator" $'\r\n' wine VeskServer.exe

[ $fail = 0 ] && echo "$dist: three archives as expected; both simulated setups run as unpacked"
exit $fail
