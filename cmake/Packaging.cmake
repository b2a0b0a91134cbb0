# cpack builds two Debian packages from one build: sealpost (the four
# programs, the script sealpost-send and their man pages) and libblowfishencdec-dev (the static library,
# its header, CMake and pkg-config files). Each carries the licence as a
# machine-readable copyright file, the changelog and the README in its doc
# folder. A cross toolchain names the Debian architecture in DEB_ARCHITECTURE;
# otherwise dpkg tells the build machine's.
set(SEALPOST_MAINTAINER "sealpost developers <sealpost@example.org>" CACHE STRING
    "Maintainer of the Debian packages, as name <address>")

# The copyright file is LICENSE in Debian's copyright format: the copyright
# line as the Copyright field, the permission text indented as the licence.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license}")
set(SEALPOST_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" license_text "${license}")
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " SEALPOST_LICENSE_TEXT " ${license_text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)

# Debian ships changelogs and longer documents gzipped without a time stamp.
set(gzipped_docs)
foreach(doc packaging/changelog README.md)
    get_filename_component(name ${doc} NAME)
    set(gzipped ${PROJECT_BINARY_DIR}/doc/${name}.gz)
    add_custom_command(OUTPUT ${gzipped}
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${doc} > ${gzipped}
        DEPENDS ${PROJECT_SOURCE_DIR}/${doc})
    list(APPEND gzipped_docs ${gzipped})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${gzipped_docs})

set(package_programs sealpost)
set(package_development libblowfishencdec-dev)
foreach(component programs development)
    install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${gzipped_docs}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_${component}}
        COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sealpost)
set(CPACK_PACKAGE_VENDOR "the sealpost developers")
set(CPACK_PACKAGE_CONTACT "${SEALPOST_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# cpack (CMake 3.25) knows no Multi-Arch field: it goes on a line of its own
# after the Source field's value.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SOURCE "sealpost\nMulti-Arch: foreign")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SOURCE "sealpost\nMulti-Arch: same")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(DEB_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEB_ARCHITECTURE})
endif()

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${package_programs})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "seal texts with Blowfish-CBC as hex, and post forms over HTTP/1.0
bfseal seals a short text with Blowfish in CBC mode under a key text and
prints the IV and the ciphertext as lowercase hex; bfopen opens such a
sealed text again. bfmac prints the HMAC-SHA256 that a post carries beside
the sealed text, so that the receiver can tell it from a forgery before it
opens anything. formsend posts one URL-encoded form to port 80 of a web
server over HTTP/1.0 and copies the server's answer to standard output.
sealpost-send seals a text, posts it with its MAC under a time-out, and
keeps it in a spool until the server takes it.

Sealing obscures a text; it is not strong protection: the IV is
predictable, and a sealed text is authentic only with its MAC.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${package_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS libssl-dev)
# Up to 1.0.0 one package, sealpost, held the library and its header too.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_BREAKS "sealpost (<< 1.1.0)")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES "sealpost (<< 1.1.0)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "seal texts with Blowfish-CBC as hex - static library
A small C interface over OpenSSL's libcrypto: Blowfish-CBC encryption and
decryption of zero-terminated texts, single-block encryption, and the hex
form of cipher buffers and IVs in both directions, as the sealpost
programs use them.

This package holds the static library libblowfishencdec.a, its header
BlowfishEncDec.h, a CMake package configuration
(find_package(BlowfishEncDec)) and a pkg-config file (blowfishencdec).")

include(${PROJECT_SOURCE_DIR}/cmake/ReceiverPackage.cmake)

set(receiver_program)
if(SEALPOST_RECEIVER)
    set(receiver_program "$<TARGET_FILE:sealpost-receiver>")
endif()
# cpack reads this file when it runs, after the build: it computes the
# programs' Depends from the built programs and fixes the archives' dates.
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake.in
    ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
    INPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
include(CPack)
