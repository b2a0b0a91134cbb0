#!/bin/sh
# board_files.sh VERSION BOARDS ROOTS SOURCE: checks the static archives that
# ./build.sh boards left in BOARDS against SHA256SUMS, unpacks each into
# ROOTS/<architecture> with the /etc/hosts and /etc/resolv.conf of a board
# for the tests that run the programs there, and checks that the files are
# what the archives promise: sealpost-send the script as it is here, every
# program fully static (no interpreter, no
# library), the ARM ones ARMv5TE soft-float code under 600 KB (formsend
# under 100 KB), the sealing programs opening no file, bfmac none but its
# key file and printing the known answer of docs/server.md. Last, the archives
# are packed again from the same build trees, with the same date, under
# another umask, and must come out byte for byte the same.
set -eu
version=$1
boards=$2
roots=$3
source=$4
fail() {
    echo "$*" >&2
    exit 1
}
(cd "$boards" && sha256sum --check --strict SHA256SUMS)
expected="LICENSE README bin/bfmac bin/bfopen bin/bfseal bin/formsend bin/sealpost-send man/man1/bfmac.1 \
man/man1/bfopen.1 man/man1/bfseal.1 man/man1/formsend.1 man/man1/sealpost-send.1"
rm -rf "$roots"
for architecture in armel amd64; do
    root=$roots/$architecture
    mkdir -p "$root/etc"
    tar -xzf "$boards/sealpost-$version-linux-$architecture-static.tar.gz" -C "$root" --strip-components=1
    listing=$(cd "$root" && find . -type f ! -path './etc/*' | sed 's|^\./||' | sort | tr '\n' ' ')
    [ "$listing" = "$expected " ] || fail "$architecture archive holds $listing, not $expected"
    printf '127.0.0.3\trecorder.board.test\n' >"$root/etc/hosts"
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$root/etc/resolv.conf"
    cmp "$root/bin/sealpost-send" "$source/send/sealpost-send" || fail "$architecture archive's sealpost-send differs"
    [ -x "$root/bin/sealpost-send" ] || fail "$architecture archive's sealpost-send is not executable"
    for program in "$root"/bin/bf* "$root"/bin/formsend; do
        name=$(basename "$program")
        size=$(stat -c %s "$program")
        headers=$(readelf -hlA "$program")
        dynamic=$(readelf -d "$program")
        echo "$architecture $name: $size bytes"
        echo "$headers" | grep -q 'program interpreter' && fail "$program names a program interpreter"
        echo "$dynamic" | grep -q '(NEEDED)' && fail "$program needs a shared library"
        [ "$architecture" = armel ] || continue
        echo "$dynamic" | grep -q 'There is no dynamic section' || fail "$program has a dynamic section"
        for attribute in 'Tag_CPU_arch: v5TE' 'soft-float ABI'; do
            echo "$headers" | grep -q "$attribute" || fail "$program: no $attribute"
        done
        echo "$headers" | grep -q 'Tag_ABI_VFP_args' && fail "$program passes arguments in VFP registers"
        limit=600000
        [ "$name" = formsend ] && limit=100000
        [ "$size" -lt "$limit" ] || fail "$program has $size bytes, the limit is $limit"
    done
done

# Nothing from the board either: the sealing programs open no file at all.
armel=$roots/armel
sealed=$(qemu-arm -L "$armel" "$armel/bin/bfseal" text key)
for run in "bfseal text key" "bfopen $sealed key"; do
    # shellcheck disable=SC2086
    opened=$(qemu-arm -L "$armel" -strace "$armel"/bin/$run 2>&1 >/dev/null | grep -E '^[0-9]+ open' || true)
    [ -z "$opened" ] || fail "${run%% *} opens files: $opened"
done
key=$roots/key
printf 'sesame\n' >"$key"
known="-k $key -d pump-7 3734353231333638c70c840ac1c1e31145008c4a273f55aa"
# shellcheck disable=SC2086
mac=$(qemu-arm -L "$armel" "$armel/bin/bfmac" $known)
[ "$mac" = 70aa729e7ef0f5d526e0b7233629cc1ef0495220d30e6762d50a75625c7d9221 ] ||
    fail "the armel bfmac printed ${mac:-nothing}, not the known answer's MAC"
# shellcheck disable=SC2086
opened=$(qemu-arm -L "$armel" -strace "$armel/bin/bfmac" $known 2>&1 >/dev/null | grep -E '^[0-9]+ open' |
    grep -v "\"$key\"" || true)
[ -z "$opened" ] || fail "bfmac opens files other than its key file: $opened"

mkdir -p "$roots/repacked"
for architecture in armel amd64; do
    archive=sealpost-$version-linux-$architecture-static.tar.gz
    date=$(TZ=UTC tar -tvzf "$boards/$archive" --full-time | awk 'NR == 1 { print $4, $5 }')
    (umask 0002 && SOURCE_DATE_EPOCH=$(TZ=UTC date -d "$date" +%s) cmake -DGLIBC_TREE="$boards/$architecture-glibc" \
        -DMUSL_TREE="$boards/$architecture-musl" -DARCHITECTURE="$architecture" -DOUTPUT="$roots/repacked" \
        -P "$source/cmake/BoardArchive.cmake" >/dev/null)
    cmp "$boards/$archive" "$roots/repacked/$archive" || fail "$archive differs when packed again under umask 0002"
done
echo "the static programs are what the archives promise, and the archives pack alike"
