#!/usr/bin/env bash
# check_packages.sh DIST VERSION SERVER_TEST: the archives unpacked and run, notices held to link maps.
set -u
dist=$1 version=$2 private_run=$3 src=$(dirname "$0")/..
maps=$src/build/windows/linkmaps fail=0
defined() { sed -n "s/^#define $1 \"\(.*\)\".*/\1/p" "$src/$2"; }  # defined NAME HEADER: the string it defines
start=$(defined VESK_START_LINE server/lines.h) closed=$(defined VESK_CLOSED_LINE server/lines.h)
loaded=$(defined VESK_SAYS_LOADED standin/include/vesk/says.h)
check() { if ! "${@:2}"; then echo "FAIL: $1"; fail=1; fi; }  # check DESCRIPTION COMMAND...
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

windows=VeskServer-$version-windows-x64 simulator=VeskServer-$version-windows-x64-simulator
linux=VeskServer-$version-linux-x86_64
entries() { if [[ $1 == *.zip ]]; then unzip -Z1 "$dist/$1"; else tar tzf "$dist/$1"; fi; }  # entries ARCHIVE, in order
expect_entries() {  # expect_entries ARCHIVE ENTRY...
    local got; got=$(entries "$1")
    check "$1 holds exactly: ${*:2} (got: $(echo $got))" test "$got" = "$(printf '%s\n' "${@:2}")"
}
expect_entries "$windows.zip" "$windows/LICENSE.txt" "$windows/README.txt" "$windows/THIRD-PARTY-NOTICES.txt" \
    "$windows/VeskServer.exe"
expect_entries "$simulator.zip" "$simulator/LICENSE.txt" "$simulator/README.txt" "$simulator/THIRD-PARTY-NOTICES.txt" \
    "$simulator/VeskServer.exe" "$simulator/Vesk_Device.dll" "$simulator/message.h" "$simulator/vesk-listen.exe" \
    "$simulator/vesk_subscribe.py"
expect_entries "$linux.tar.gz" "$linux/LICENSE" "$linux/README.txt" "$linux/VeskServer" "$linux/libVesk_Device.so" \
    "$linux/message.h" "$linux/vesk-listen" "$linux/vesk_subscribe.py"
check "$linux: LICENSE is the project's MIT licence" bash -c "tar xzf '$dist/$linux.tar.gz' -O '$linux/LICENSE' | cmp -s - '$src/LICENSE'"
# components_of MAP: the third-party components the linker took for the binary; unknown ones by name.
components_of() {
    # gdtoa's sources, and the printf family built on them
    local gdtoa='dmisc|dtoa|g__fmt|g_dfmt|g_ffmt|g_xfmt|gdtoa|gethex|gmisc|hd_init|hexnan|misc|qnan|smisc|strtodg|strtodnrp|strtof|strtopx|sum|ulp|mingw_(v?[sfn]*printf|pformat)'
    # A path may hold spaces, never a parenthesis.
    { sed -n -E '/^Archive member included/,/^Discarded input sections/s/^([^ (][^(]*\.a)\(([^()]*)\).*$/\1\t\2/p' "$1"
      sed -n -E 's/^LOAD (\/.*\.o)$/\1\t-/p' "$1"; } |
    while IFS=$'\t' read -r file member; do
        case $file in
        */libzmq.a) echo libzmq ;;
        */libstdc++.a) echo libstdc++ ;;
        */libgcc.a | */libgcc_eh.a | */crtbegin.o | */crtend.o) echo libgcc ;;
        */libwinpthread.a | */libpthread.a) echo winpthreads ;;  # Debian ships it under both names
        */x86_64-w64-mingw32/lib/libmingwex.a)
            if [[ $member =~ ^lib64_libmingwex_a-($gdtoa)\.o$ ]]; then echo gdtoa; else echo mingw-w64-crt; fi ;;
        /usr/*/x86_64-w64-mingw32/lib/*) echo mingw-w64-crt ;;  # start-up code, import stubs
        /usr/*) echo "unknown: $file" ;;
        esac  # the rest is the project's own
    done | sort -u
}
# notices_check ARCHIVE: each program's components as its link map shows, with sections and licences.
notices_check() {
    local notices binary map components named section licence
    notices=$(unzip -p "$dist/$1.zip" "$1/THIRD-PARTY-NOTICES.txt" | tr -d '\r')
    for binary in $(entries "$1.zip" | sed -n -E 's:^.*/(.*\.(exe|dll))$:\1:p'); do
        map=$maps/$binary.map
        if [ ! -f "$map" ]; then check "$1: a link map for $binary" false; continue; fi
        components=$(components_of "$map")
        named=$(awk -v b="$binary" '$0 == b {on = 1; next} on && /^  - / {sub(/^  - /, ""); sub(/:.*/, ""); print; next} {on = 0}' \
            <<<"$notices" | sort -u)
        check "$1: the notices list for $binary what its link map shows ($(echo $components)), got: $(echo $named)" \
            test "$components" = "$named"
        for component in $components; do
            section=$(awk -v c="==== $component: " 'index($0, c) == 1 {on = 1; next} /^==== / && !/^==== from / {on = 0} on' \
                <<<"$notices")
            check "$1: a section for $component with its copyright lines" grep -q 'Copyright' <<<"$section"
            for licence in $(sed -n 's/^License: //p' <<<"$section" | sed 's/ with /\n/g' | sed 's/[ ,].*//; s/+$//'); do
                check "$1: the full text of $licence, named by $component" \
                    test "$(sed -n "/^==== Licence $licence\$/,/^==== /p" <<<"$notices" | wc -l)" -gt 3
            done
        done
    done
    check "$1: the notices point to no file outside the archive" bash -c '! grep -q /usr/share' <<<"$notices"
}
for archive in "$windows" "$simulator"; do
    check "$archive: LICENSE.txt is the project's MIT licence, CR LF" \
        test "$(unzip -p "$dist/$archive.zip" "$archive/LICENSE.txt")" = "$(sed 's/$/\r/' "$src/LICENSE")"
    for text in THIRD-PARTY-NOTICES.txt README.txt; do
        check "$archive: $text has CR LF line ends throughout" \
            bash -c "! unzip -p '$dist/$archive.zip' '$archive/$text' | grep -qv \$'\r\$'"
    done
    check "$archive: README.txt points at the licence and the notices" \
        bash -c "unzip -p '$dist/$archive.zip' '$archive/README.txt' | tr -d '\r' | tr '\n' ' ' | grep -q 'LICENSE.txt.*THIRD-PARTY-NOTICES.txt'"
    notices_check "$archive"
done
check "the simulator's README.txt states no ipc:// path rules, which Windows refuses" \
    bash -c "! unzip -p '$dist/$simulator.zip' '$simulator/README.txt' | grep -q 'socket file'"
check "SHA256SUMS matches the three archives" bash -c "cd '$dist' && sha256sum --quiet -c SHA256SUMS"

# run_unpacked DESCRIPTION FOLDER EOL COMMAND...: an orderly session in FOLDER, on the stand-in beside it.
run_unpacked() {
    local out status
    out=$(cd "$2" && printf 'q\n' | VESK_DEVICE_ENDPOINT='tcp://127.0.0.1:*' "${@:4}" 2>"$work/stderr")
    status=$?
    check "$1: status 0 (got $status)" test "$status" = 0
    check "$1: both lines (got: $out)" test "$out" = "$start$3$closed${3%$'\n'}"
    check "$1: ran on the stand-in beside it" grep -qF "$loaded" "$work/stderr"
}
mkdir "$work/linux" "$work/windows"
tar xzf "$dist/$linux.tar.gz" -C "$work/linux"
# In namespaces of its own, as the black-box cases run, so it never meets the lock of a running copy.
run_unpacked "unpacked Linux archive" "$work/linux/$linux" $'\n' "$private_run" --private-run ./VeskServer
unzip -q "$dist/$simulator.zip" -d "$work/windows"
run_unpacked "unpacked simulator zip under Wine" "$work/windows/$simulator" $'\r\n' wine VeskServer.exe

[ $fail = 0 ] && echo "$dist: three archives as expected; both simulated setups run as unpacked"
exit $fail
