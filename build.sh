#!/bin/sh
# Installs what is missing, builds, and then:
#   ./build.sh demo   seals a sample text and shows what came out
#   ./build.sh test   runs every test, in a normal and in a sanitized build,
#                     and fuzzes bfopen's input handling for a while
set -eu
cd "$(dirname "$0")"

JOBS=$(nproc 2>/dev/null || echo 2)

# Installs the Debian packages given when they are missing: with apt-get as
# root, otherwise by asking for the exact command and stopping.
require() {
    missing=
    for package in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
        case "$status" in
            ii*) ;;
            *) missing="$missing $package" ;;
        esac
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages; install them with:" >&2
        echo "  sudo apt-get install -y --no-install-recommends$missing" >&2
        exit 1
    fi
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
}

BUILD_PACKAGES="cmake make g++ libssl-dev"
TEST_PACKAGES="$BUILD_PACKAGES libgtest-dev openssl python3 binutils clang libclang-rt-dev"
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

# build DIR CMAKE-ARGS...
build() {
    dir=$1
    shift
    cmake -S . -B "$dir" "$@"
    cmake --build "$dir" -j "$JOBS"
}

demo() {
    # shellcheck disable=SC2086
    require $BUILD_PACKAGES
    build build/release -DBUILD_TESTING=OFF >/dev/null
    text="Attack at dawn"
    key="sesame"
    echo "bfseal '$text' '$key':"
    sealed=$(build/release/bfseal/bfseal "$text" "$key")
    echo "$sealed"
    echo "bfopen $sealed '$key':"
    build/release/bfopen/bfopen "$sealed" "$key"
    echo
}

suite() {
    dir=$1
    shift
    echo "== $dir"
    build "$dir" -DBUILD_TESTING=ON "$@"
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

# Fuzzes hex decoding, decryption and bfopen's checks with libFuzzer for
# FUZZ_SECONDS seconds; any crash or failed property fails the run.
fuzz() {
    echo "== build/fuzz ($FUZZ_SECONDS s)"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -DFUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/fuzz --target open_fuzzer -j "$JOBS"
    mkdir -p build/fuzz/corpus
    build/fuzz/open_fuzzer -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
        build/fuzz/corpus tests/fuzz_seeds
}

test_all() {
    # shellcheck disable=SC2086
    require $TEST_PACKAGES
    suite build/release -DCMAKE_BUILD_TYPE=Release -DSANITIZE=OFF
    suite build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON
    fuzz
}

case "${1:-}" in
    demo) demo ;;
    test) test_all ;;
    *)
        echo "usage: ./build.sh demo|test" >&2
        exit 2
        ;;
esac
