# Included by the static toolchain files (static-armel.cmake,
# static-amd64.cmake): programs that need nothing on the machine they run on,
# neither a shared library nor a loader.
#   SEALPOST_LIBC=glibc  for bfseal, bfopen and bfmac: they look up no
#                        names, so static glibc serves them, and the IV
#                        comes from glibc's rand() as in every other build;
#   SEALPOST_LIBC=musl   for formsend: it resolves host names, which static
#                        glibc can only do by loading the machine's NSS
#                        modules; musl reads /etc/hosts and asks DNS itself.
#   SEALPOST_OPENSSL_ROOT  where Debian's libssl-dev for the target is
#                        unpacked with its control file (dpkg-deb -R):
#                        libcrypto.a comes from there, never from the build
#                        machine.
# The toolchain file sets SEALPOST_MUSL_TRIPLET and SEALPOST_STATIC_PIE.
set(SEALPOST_LIBC glibc CACHE STRING "C library of the static programs: glibc or musl")
set(SEALPOST_OPENSSL_ROOT "" CACHE PATH "Debian's libssl-dev for the target, unpacked with dpkg-deb -R")
# The compiler checks run this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SEALPOST_LIBC SEALPOST_OPENSSL_ROOT)
set(SEALPOST_STATIC ON)

set(flags "-ffunction-sections -fdata-sections")
# A link warning is an error: static glibc warns when something drags in
# dlopen, getaddrinfo or the NSS functions, which would load the machine's
# shared libraries after all.
set(link_flags "-Wl,--gc-sections -Wl,--fatal-warnings")
if(SEALPOST_LIBC STREQUAL "musl")
    # The driver settings of Debian's musl-gcc put musl's headers, start-up
    # files and libc in place of glibc's. They also hide libstdc++'s headers,
    # which is why formsend includes only C headers.
    string(APPEND flags " -specs=/usr/lib/${SEALPOST_MUSL_TRIPLET}/musl-gcc.specs")
    string(APPEND link_flags " -static")
elseif(SEALPOST_LIBC STREQUAL "glibc")
    if(SEALPOST_STATIC_PIE)
        string(APPEND link_flags " -static-pie")
    else()
        string(APPEND link_flags " -static")
    endif()
else()
    message(FATAL_ERROR "SEALPOST_LIBC is glibc or musl, not '${SEALPOST_LIBC}'")
endif()
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")

if(NOT EXISTS "${SEALPOST_OPENSSL_ROOT}/usr/include/openssl/blowfish.h")
    message(FATAL_ERROR "SEALPOST_OPENSSL_ROOT (${SEALPOST_OPENSSL_ROOT}) holds no unpacked libssl-dev: "
        "apt-get download libssl-dev:<architecture> and unpack it there with dpkg-deb -R")
endif()
set(OPENSSL_USE_STATIC_LIBS TRUE)
# FindOpenSSL would take the static libraries' dependencies from pkg-config,
# which describes the build machine's OpenSSL, not the target's: Debian 13's
# names zlib, which no object these programs take from libcrypto needs, and
# which the target has no static library of. Where pkg-config finds nothing,
# FindOpenSSL adds only what static glibc links in any case.
set(ENV{PKG_CONFIG_LIBDIR} "${SEALPOST_OPENSSL_ROOT}/no-pkg-config")
set(ENV{PKG_CONFIG_PATH} "")
set(OPENSSL_INCLUDE_DIR "${SEALPOST_OPENSSL_ROOT}/usr/include" CACHE PATH "" FORCE)
set(OPENSSL_CRYPTO_LIBRARY "${SEALPOST_OPENSSL_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libcrypto.a" CACHE FILEPATH "" FORCE)
# The architecture's own OpenSSL headers (configuration.h) sit in the
# multiarch folder, which only the build machine's compiler searches.
string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${SEALPOST_OPENSSL_ROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}")
string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${SEALPOST_OPENSSL_ROOT}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}")
