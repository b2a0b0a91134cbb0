# cmake -DGLIBC_TREE=DIR -DMUSL_TREE=DIR -DARCHITECTURE=armel|amd64 -DOUTPUT=DIR
#       -P cmake/BoardArchive.cmake
# Packs the static programs of two build trees made with a static toolchain
# file (bfseal, bfopen and bfmac from the glibc one, formsend from the musl
# one), stripped, and the script sealpost-send, with their man pages, the licence and a README, as
# OUTPUT/sealpost-<version>-linux-<architecture>-static.tar.gz. The archive
# depends on neither the umask nor the user nor the order of the folder's
# entries: names sorted, owner root, modes pinned, every date the last
# commit's, gzip without a name or time stamp.
cmake_minimum_required(VERSION 3.18)
get_filename_component(PROJECT_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
include(${CMAKE_CURRENT_LIST_DIR}/Reproducible.cmake)

load_cache(${GLIBC_TREE} READ_WITH_PREFIX glibc_ CMAKE_PROJECT_VERSION CMAKE_STRIP SEALPOST_OPENSSL_ROOT)
set(version ${glibc_CMAKE_PROJECT_VERSION})
set(openssl ${glibc_SEALPOST_OPENSSL_ROOT}/usr)

if(ARCHITECTURE STREQUAL "armel")
    set(PLATFORM "32-bit ARM Linux (ARMv5TE, soft-float EABI)")
    set(RUNS_ON "every 32-bit ARM Linux from ARMv5TE on (ARMv5TE, ARMv6 as in
the Raspberry Pi 1 and Zero, ARMv7, and ARMv8 in 32-bit mode), hard-float
or soft-float, with any distribution, on Linux 3.2 or later. The kernel's
user helpers (CONFIG_KUSER_HELPERS, on by default) must not be switched
off.")
elseif(ARCHITECTURE STREQUAL "amd64")
    set(PLATFORM "x86-64 Linux")
    set(RUNS_ON "every x86-64 Linux, with any distribution, on Linux 3.2 or
later.")
else()
    message(FATAL_ERROR "ARCHITECTURE is armel or amd64, not '${ARCHITECTURE}'")
endif()

file(STRINGS ${openssl}/include/openssl/opensslv.h full_version REGEX "define OPENSSL_FULL_VERSION_STR")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" OPENSSL_VERSION "${full_version}")
file(STRINGS ${glibc_SEALPOST_OPENSSL_ROOT}/DEBIAN/control package_version REGEX "^Version: ")
if(NOT package_version)
    message(FATAL_ERROR "no control file in ${glibc_SEALPOST_OPENSSL_ROOT}/DEBIAN: unpack libssl-dev with dpkg-deb -R")
endif()
string(REPLACE "Version: " "" package_version "${package_version}")
set(OPENSSL_PACKAGE "Debian's libssl-dev ${package_version} for ${ARCHITECTURE}")

set(name sealpost-${version})
set(stage ${OUTPUT}/${ARCHITECTURE}/stage)
set(top ${stage}/${name})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${top}/bin ${top}/man/man1)

foreach(program bfseal bfopen bfmac formsend)
    if(program STREQUAL "formsend")
        set(tree ${MUSL_TREE})
    else()
        set(tree ${GLIBC_TREE})
    endif()
    execute_process(COMMAND ${glibc_CMAKE_STRIP} --strip-all --remove-section=.comment --remove-section=.note
            -o ${top}/bin/${program} ${tree}/${program}/${program}
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot strip ${tree}/${program}/${program}: build it first")
    endif()
    file(COPY ${tree}/${program}/${program}.1 DESTINATION ${top}/man/man1)
endforeach()
# sealpost-send is a shell script: the same file on every architecture.
file(COPY ${PROJECT_SOURCE_DIR}/send/sealpost-send DESTINATION ${top}/bin
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(COPY ${GLIBC_TREE}/send/sealpost-send.1 DESTINATION ${top}/man/man1)
file(COPY ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${top})
set(VERSION ${version})
configure_file(${PROJECT_SOURCE_DIR}/packaging/board-README.in ${top}/README @ONLY)

set(archive ${OUTPUT}/${name}-linux-${ARCHITECTURE}-static.tar.gz)
execute_process(
    COMMAND tar --format=gnu --sort=name --owner=0 --group=0 --numeric-owner
        --mtime=@${SEALPOST_SOURCE_DATE_EPOCH} --mode=u=rwX,go=rX -C ${stage} -cf - ${name}
    COMMAND gzip -9n
    OUTPUT_FILE ${archive}
    RESULTS_VARIABLE statuses)
if(NOT statuses STREQUAL "0;0")
    file(REMOVE ${archive})
    message(FATAL_ERROR "tar | gzip failed: ${statuses}")
endif()
message(STATUS "${archive}")
