#!/bin/sh
# unpacked_packages.sh WORK DEB...: unpacks the packages into WORK/root with
# dpkg-deb -x and uses them from there: the programs seal, open, MAC and start,
# and sealpost-send asks for its arguments; hardening-check passes on each
# program; every man page renders without warnings;
# the receiver's unit passes systemd-analyze verify; the consumer project
# builds against the library once with find_package and once with
# pkg-config, and what it seals bfseal's partner opens.
# Environment: VERSION (the project's), CC (the C compiler), MULTIARCH (the
# library folder's triplet), TOOLCHAIN (CMake toolchain file, or empty),
# EMULATOR (runs the target's programs here, or empty).
set -eu
work=$1
shift
here=$(dirname "$0")
root=$work/root
rm -rf "$work"
mkdir -p "$root"
for deb in "$@"; do
    dpkg-deb -x "$deb" "$root"
done

fail() {
    echo "$*" >&2
    exit 1
}
# The control fields lintian cannot judge: what each package is for others.
field() {
    dpkg-deb -f "$1" "$2"
}
unit=
for deb in "$@"; do
    case "$(field "$deb" Package)" in
        sealpost)
            expected="foreign utils"
            depends=$(field "$deb" Depends)
            echo "$depends" | grep -Eq '(^|, )libssl3 (\([^)]*\)) \| libssl3t64 \2(,|$)' ||
                fail "sealpost depends on $depends: not libcrypto from libssl3 or libssl3t64"
            ;;
        libblowfishencdec-dev)
            expected="same libdevel"
            [ "$(field "$deb" Depends)" = libssl-dev ] || fail "the -dev package does not depend on libssl-dev"
            # sealpost 1.0.0 held the header and the library itself.
            [ "$(field "$deb" Breaks)|$(field "$deb" Replaces)" = "sealpost (<< 1.1.0)|sealpost (<< 1.1.0)" ] ||
                fail "the -dev package does not take over sealpost 1.0.0's files (Breaks and Replaces)"
            ;;
        sealpost-receiver)
            expected="foreign net"
            depends=$(field "$deb" Depends)
            echo "$depends" | grep -Eq '(^|, )libmicrohttpd12 (\([^)]*\)) \| libmicrohttpd12t64 \2(,|$)' ||
                fail "sealpost-receiver depends on $depends: not libmicrohttpd12 or libmicrohttpd12t64"
            for library in libsqlite3-0 libssl3 libpq5; do
                echo "$depends" | grep -Eq "(^|, )$library( |,|$)" || fail "sealpost-receiver depends on $depends: no $library"
            done
            units="$root/usr/lib/systemd/system/sealpost-receiver.socket $root/usr/lib/systemd/system/sealpost-receiver.service"
            ;;
        *) fail "$deb: an unexpected package" ;;
    esac
    [ "$(field "$deb" Multi-Arch) $(field "$deb" Section)" = "$expected" ] ||
        fail "$deb: Multi-Arch and Section are not $expected"
done

# The receiver's units pass systemd's own check, with the program and the
# man page they name taken from the package.
if [ -n "${units:-}" ]; then
    program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$root/usr/lib/systemd/system/sealpost-receiver.service")
    [ -x "$root$program" ] || fail "the unit starts ${program:-nothing}, which the package does not hold"
    mkdir -p "$work/units"
    for unit in $units; do
        sed "s|$program|$root$program|" "$unit" >"$work/units/$(basename "$unit")"
    done
    verdict=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$work"/units/* 2>&1) && [ -z "$verdict" ] ||
        fail "systemd-analyze verify: $verdict"
fi

# EMULATOR is a command line, possibly empty, so it is split on purpose.
run() {
    # shellcheck disable=SC2086
    $EMULATOR "$@"
}

text='Attack at dawn; à l’aube'
key=sesame
sealed=$(run "$root/usr/bin/bfseal" "$text" "$key")
[ "$(run "$root/usr/bin/bfopen" "$sealed" "$key")" = "$text" ] || fail "unpacked bfopen did not open what bfseal sealed"
[ -z "$(run "$root/usr/bin/formsend")" ] || fail "unpacked formsend wrote something without arguments"
printf '%s\n' "$key" >"$work/key"
mac=$(run "$root/usr/bin/bfmac" -k "$work/key" -d pump-7 3734353231333638c70c840ac1c1e31145008c4a273f55aa)
[ "$mac" = 70aa729e7ef0f5d526e0b7233629cc1ef0495220d30e6762d50a75625c7d9221 ] ||
    fail "unpacked bfmac printed ${mac:-nothing}, not the MAC of docs/server.md's known answer"

# hardening-check's verdict on every program, less two checks that no
# program built on Debian 12 or 13 passes: x86 control-flow protection (the
# C start-up files carry no IBT/SHSTK marks) and branch protection (an arm64
# feature that newer versions report on every architecture). Its exit status
# would count those, so its report is read instead.
# sealpost-send is a script: it runs, and asks for its arguments.
status=0
"$root/usr/bin/sealpost-send" 2>/dev/null || status=$?
[ "$status" -eq 64 ] || fail "unpacked sealpost-send without arguments ended with $status, not 64"
programs=$(find "$root/usr/bin" "$root/usr/sbin" -type f ! -name sealpost-send | wc -l)
# shellcheck disable=SC2046
report=$(hardening-check $(find "$root/usr/bin" "$root/usr/sbin" -type f ! -name sealpost-send) 2>/dev/null || true)
echo "$report"
if echo "$report" | grep -v -e 'Control flow integrity:' -e 'Branch Protection:' | grep -q ': no'; then
    fail "hardening-check found a missing protection"
fi
for check in 'Position Independent Executable: yes' 'Stack protected: yes' 'Fortify Source functions: yes' \
    'Read-only relocations: yes' 'Immediate binding: yes'; do
    [ "$(echo "$report" | grep -c "$check")" -eq "$programs" ] || fail "not every program has $check"
done

"$here/man_pages.sh" "$VERSION" "$root"/usr/share/man/man1/*.1.gz "$root"/usr/share/man/man8/*.8.gz

cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
    ${TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"} >/dev/null
cmake --build "$work/cmake" >/dev/null

PKG_CONFIG_PATH="$root/usr/lib/$MULTIARCH/pkgconfig" \
    PKG_CONFIG_LIBDIR="/usr/lib/$MULTIARCH/pkgconfig:/usr/share/pkgconfig" \
    pkg-config --cflags --libs blowfishencdec >"$work/pkg-config-flags"
# shellcheck disable=SC2046
"$CC" -o "$work/pkg-config-consumer" "$here/consumer/consumer.c" $(cat "$work/pkg-config-flags")

for consumer in "$work/cmake/consumer" "$work/pkg-config-consumer"; do
    sealed=$(run "$consumer" "$text" "$key") || fail "$consumer failed"
    [ "$(run "$root/usr/bin/bfopen" "$sealed" "$key")" = "$text" ] || fail "bfopen did not open what $consumer sealed"
done
echo "unpacked packages: programs, hardening, man pages and both consumer builds work"
