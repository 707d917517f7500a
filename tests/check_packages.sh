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
work=$(mktemp -d "$PWD/packages.XXXXXX")  # not under /tmp, which the Linux run replaces
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
expect_entries "$windows.zip" "$windows/README.txt" "$windows/VeskServer.exe"
expect_entries "$simulator.zip" "$simulator/README.txt" "$simulator/VeskServer.exe" "$simulator/Vesk_Device.dll" \
    "$simulator/vesk-listen.exe"
expect_entries "$linux.tar.gz" "$linux/README.txt" "$linux/VeskServer" "$linux/libVesk_Device.so" "$linux/vesk-listen"
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
# The unpacked Linux server runs with a /tmp of its own, so it never meets the lock of a copy
# that whoever runs this has running.
private_tmp=(unshare -m)
[ "$(id -u)" = 0 ] || private_tmp=(unshare -Urm)
private_tmp+=(sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && exec "$@"' sh)
if "${private_tmp[@]}" true 2>/dev/null; then
    run_unpacked "unpacked Linux archive" "$work/linux/$linux" $'\n' "${private_tmp[@]}" ./VeskServer
else
    echo "SKIPPED: the unpacked Linux archive's run, which needs a mount namespace of its own"
fi
unzip -q "$dist/$simulator.zip" -d "$work/windows"
run_unpacked "unpacked simulator zip under Wine" "$work/windows/$simulator" $'\r\n' wine VeskServer.exe

[ $fail = 0 ] && echo "$dist: three archives as expected; both simulated setups run as unpacked"
exit $fail
