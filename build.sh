#!/bin/sh
# Installs what is missing, builds, and then:
#   ./build.sh demo   seals a sample text, posts it to sealpost-receiver
#                     and shows what came back
#   ./build.sh test   runs every test in a normal and in a sanitized build,
#                     fuzzes bfopen's input handling for a while, then runs
#                     every test of a 32-bit ARM build under qemu-arm and
#                     builds the .deb packages
#   ./build.sh packages   builds the .deb packages for this machine and armhf
#   ./build.sh boards     builds, tests and packs the static programs for
#                         32-bit ARM boards (armel) and x86-64
#   ./build.sh bench      runs the benchmarks and prints a table of ratios
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
    # Another apt run (an unattended upgrade, a second build) holds dpkg's
    # lock for a while; wait for it rather than fail.
    apt-get -o DPkg::Lock::Timeout=600 update -q
    # Debian starts a server as it installs it; the tests run theirs in
    # private namespaces only, so a policy forbids starting any meanwhile.
    policy=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        trap 'rm -f "$policy"' EXIT
        trap 'exit 1' INT TERM
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
    fi
    # shellcheck disable=SC2086
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing
    if [ -n "$policy" ]; then
        rm -f "$policy"
        trap - EXIT INT TERM
    fi
}

BUILD_PACKAGES="cmake make g++ pkg-config libssl-dev libmicrohttpd-dev libsqlite3-dev libpq-dev libinih-dev"
PACKAGING_PACKAGES="dpkg-dev git"
# The tests also open and seal texts as applications in Python, Node.js and
# PHP do, run the recipes' setups on real servers, and run sealpost-send
# under busybox's ash as well as dash; promtool checks the guide's alerts.
TEST_PACKAGES="$BUILD_PACKAGES $PACKAGING_PACKAGES lintian devscripts man-db libgtest-dev libbenchmark-dev
    openssl xxd python3 python3-pycryptodome nodejs php-cli binutils groff-base clang libclang-rt-dev
    nginx php-fpm apache2 libapache2-mod-php systemd systemd-container debootstrap busybox shellcheck postgresql
    prometheus"
# The receiver is loaded with wrk against nginx; the policy in require keeps
# nginx from starting as it installs.
BENCH_PACKAGES="$BUILD_PACKAGES libbenchmark-dev openssl xxd curl busybox time python3 nginx wrk postgresql"
# libpq-dev is not Multi-Arch: same; the armhf build takes libpq5's library
# and the build machine's headers (receiver/CMakeLists.txt).
ARM_PACKAGES="g++-arm-linux-gnueabihf qemu-user libssl-dev:armhf libgtest-dev:armhf libstdc++6:armhf
    libmicrohttpd-dev:armhf libsqlite3-dev:armhf libpq5:armhf libinih-dev:armhf"
ARM_TOOLCHAIN=cmake/arm-linux-gnueabihf.cmake
# The static programs take libcrypto from libssl-dev, downloaded, never installed.
BOARDS_PACKAGES="$BUILD_PACKAGES git musl-dev qemu-user binutils libgtest-dev openssl python3"
ARMEL_PACKAGES="g++-arm-linux-gnueabi musl-dev:armel"
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

# require_foreign ARCHITECTURE PACKAGE...: packages of another architecture
# need it added to dpkg's architectures first.
require_foreign() {
    architecture=$1
    shift
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "the 32-bit ARM build needs $architecture packages; install them with:" >&2
            echo "  sudo dpkg --add-architecture $architecture && sudo apt-get update" >&2
            echo "  sudo apt-get install -y --no-install-recommends $*" >&2
            exit 1
        fi
        dpkg --add-architecture "$architecture"
    fi
    require "$@"
}

require_armhf() {
    # shellcheck disable=SC2086
    require_foreign armhf $ARM_PACKAGES
}

# timed NAME COMMAND...: runs the command and says how long it took.
timed() {
    name=$1
    shift
    start=$(date +%s)
    "$@"
    echo "== $name: $(($(date +%s) - start)) s"
}

# build DIR CMAKE-ARGS...
build() {
    dir=$1
    shift
    cmake -S . -B "$dir" "$@"
    cmake --build "$dir" -j "$JOBS"
}

# Seals a text, posts it to sealpost-receiver in a private network
# namespace, shows the answer and the row it kept, and opens the same text
# with bfopen.
demo() {
    # shellcheck disable=SC2086
    require $BUILD_PACKAGES python3
    build build/release -DBUILD_TESTING=OFF >/dev/null
    tests/in_netns.sh python3 tests/whole_trip.py build/release
}

suite() {
    dir=$1
    shift
    echo "== $dir"
    build "$dir" -DBUILD_TESTING=ON "$@"
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

# Fuzzes hex decoding, decryption and bfopen's checks, then the receiver's
# form reader, with libFuzzer for FUZZ_SECONDS seconds each; any crash or
# failed property fails the run.
fuzz() {
    echo "== build/fuzz ($FUZZ_SECONDS s each)"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -DFUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/fuzz --target open_fuzzer form_fuzzer -j "$JOBS"
    mkdir -p build/fuzz/corpus build/fuzz/form-corpus
    build/fuzz/open_fuzzer -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
        build/fuzz/corpus tests/fuzz_seeds
    build/fuzz/form_fuzzer -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 -dict=tests/form.dict \
        build/fuzz/form-corpus
}

# Builds the .deb of each build and checks the architecture it declares.
package() {
    dir=$1
    architecture=$2
    rm -f "$dir"/*.deb
    # cpack writes the .deb's outer members with the umask's modes.
    (cd "$dir" && umask 0022 && cpack >/dev/null)
    for deb in "$dir"/*.deb; do
        declared=$(dpkg-deb -f "$deb" Architecture)
        if [ "$declared" != "$architecture" ] && [ "$declared" != all ]; then
            echo "$deb declares architecture $declared, not $architecture" >&2
            exit 1
        fi
        echo "$deb"
    done
}

packages() {
    package build/release "$(dpkg --print-architecture)"
    package build/armhf armhf
}

static_programs() {
    # shellcheck disable=SC2086
    require $BOARDS_PACKAGES
    # shellcheck disable=SC2086
    require_foreign armel $ARMEL_PACKAGES
    for architecture in armel amd64; do
        rm -rf "build/boards/$architecture"
        cmake/fetch-libcrypto.sh $architecture "build/boards/$architecture"
        for libc in glibc musl; do
            cmake -S . -B "build/boards/$architecture-$libc" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="cmake/static-$architecture.cmake" -DSEALPOST_LIBC=$libc \
                -DSEALPOST_OPENSSL_ROOT="$PWD/build/boards/$architecture/openssl" >/dev/null
        done
        cmake --build "build/boards/$architecture-glibc" -j "$JOBS" --target bfseal bfopen bfmac
        cmake --build "build/boards/$architecture-musl" -j "$JOBS" --target formsend
        cmake -DGLIBC_TREE="build/boards/$architecture-glibc" -DMUSL_TREE="build/boards/$architecture-musl" \
            -DARCHITECTURE=$architecture -DOUTPUT="$PWD/build/boards" -P cmake/BoardArchive.cmake
    done
    (cd build/boards && sha256sum -- *-static.tar.gz >SHA256SUMS)
    # A static ARM busybox, unpacked and never installed, for the test that
    # runs the archive's sealpost-send under its ash; Debian 13 ships it in
    # /usr/bin, Debian 12 in /bin.
    (cd build/boards/armel && rm -rf busybox busybox-static_*_armel.deb &&
        apt-get download -q -o APT::Sandbox::User=root busybox-static:armel >/dev/null &&
        dpkg-deb -x busybox-static_*_armel.deb busybox &&
        if [ ! -e busybox/bin/busybox ]; then mkdir -p busybox/bin && ln -s ../usr/bin/busybox busybox/bin/busybox; fi)
}

# The static programs, then the tables run against them.
boards() {
    static_programs
    build build/boards/tests -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Release -DBOARDS_DIR="$PWD/build/boards"
    ctest --test-dir build/boards/tests --output-on-failure -j "$JOBS"
}

test_all() {
    # shellcheck disable=SC2086
    timed "installing" require $TEST_PACKAGES
    # The benchmarks are built here, not run, so that they cannot rot.
    timed "release build and tests" suite build/release -DCMAKE_BUILD_TYPE=Release -DSANITIZE=OFF \
        -DBUILD_BENCHMARKS=ON
    timed "sanitized build and tests" suite build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON
    timed "fuzzing" fuzz
    timed "installing for armhf" require_armhf
    timed "armhf build and tests under qemu-arm" suite build/armhf \
        -DCMAKE_TOOLCHAIN_FILE="$ARM_TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
    timed "packages" packages
    timed "boards: static programs for ARM and x86-64, tests under qemu-arm" boards
}

case "${1:-}" in
    demo) demo ;;
    test) test_all ;;
    bench)
        # shellcheck disable=SC2086
        require $BENCH_PACKAGES
        static_programs >/dev/null
        build build/bench -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
        tests/in_netns.sh python3 bench/run_bench.py build/bench build/boards
        ;;
    packages)
        # shellcheck disable=SC2086
        require $BUILD_PACKAGES $PACKAGING_PACKAGES
        require_armhf
        build build/release -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
        build build/armhf -DBUILD_TESTING=OFF -DCMAKE_TOOLCHAIN_FILE="$ARM_TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
        packages
        ;;
    boards) boards ;;
    *)
        echo "usage: ./build.sh demo|test|bench|packages|boards" >&2
        exit 2
        ;;
esac
