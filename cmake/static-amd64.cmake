# Static programs for x86-64 Linux, made the way static-armel.cmake makes
# them for ARM boards; the benchmark measures these too. What is common to
# the static builds is in StaticPrograms.cmake:
#   apt-get install g++ musl-dev
#   cmake/fetch-libcrypto.sh amd64 DIR      (DIR/openssl: libssl-dev, unpacked)
#   cmake -S . -B build/boards/amd64-glibc -DCMAKE_TOOLCHAIN_FILE=cmake/static-amd64.cmake \
#         -DSEALPOST_LIBC=glibc -DSEALPOST_OPENSSL_ROOT=DIR/openssl
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
set(SEALPOST_MUSL_TRIPLET x86_64-linux-musl)
# glibc starts a static PIE with rcrt1.o; Debian's musl-gcc driver settings
# cannot make one, so formsend is a static program at a fixed address.
if(SEALPOST_LIBC STREQUAL "glibc")
    set(SEALPOST_STATIC_PIE ON)
else()
    set(SEALPOST_STATIC_PIE OFF)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/StaticPrograms.cmake)
