# Static programs for every 32-bit ARM Linux board: Debian's armel
# (ARMv5TE, soft-float EABI) cross compiler, so that the code runs on ARMv5TE
# and every later core, from a Raspberry Pi 1 or Zero up. What is common to
# the static builds is in StaticPrograms.cmake:
#   dpkg --add-architecture armel
#   apt-get install g++-arm-linux-gnueabi musl-dev:armel qemu-user
#   cmake/fetch-libcrypto.sh armel DIR      (DIR/openssl: libssl-dev, unpacked)
#   cmake -S . -B build/boards/armel-glibc -DCMAKE_TOOLCHAIN_FILE=cmake/static-armel.cmake \
#         -DSEALPOST_LIBC=glibc -DSEALPOST_OPENSSL_ROOT=DIR/openssl
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
set(SEALPOST_MUSL_TRIPLET arm-linux-musleabi)
# glibc has no static PIE start-up code (rcrt1.o) for ARM.
set(SEALPOST_STATIC_PIE OFF)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

include(${CMAKE_CURRENT_LIST_DIR}/StaticPrograms.cmake)
# 32-bit ARM Linux runs with 4 KiB pages only. binutils 2.42 and later align
# ARM segments to 64 KiB, which would leave up to 60 KB of padding in each
# file.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-z,max-page-size=4096")
