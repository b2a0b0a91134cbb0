# The documents and the changelog name this version. The library builds inside
# a bigger build. The Debian packages are
# built by cpack from this tree and checked as Debian and a user would:
# lintian, the packages unpacked and used, and a second build of the same
# source compared byte for byte. Sanitized builds are never shipped, so they
# are not packaged.
file(GLOB guides ${PROJECT_SOURCE_DIR}/docs/*.md)
add_test(NAME versions COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/versions.sh ${PROJECT_VERSION}
    ${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_SOURCE_DIR}/README.md ${guides})

if(SANITIZE OR FUZZ)
    return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
    add_test(NAME subproject COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/subproject.sh ${PROJECT_BINARY_DIR}/subproject)
    set_tests_properties(subproject PROPERTIES TIMEOUT 600)
endif()

if(DEB_ARCHITECTURE)
    set(deb_architecture ${DEB_ARCHITECTURE})
else()
    execute_process(COMMAND dpkg --print-architecture
        OUTPUT_VARIABLE deb_architecture OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(package_dir ${PROJECT_BINARY_DIR}/packages)
set(debs ${package_dir}/sealpost_${PROJECT_VERSION}_${deb_architecture}.deb
    ${package_dir}/libblowfishencdec-dev_${PROJECT_VERSION}_${deb_architecture}.deb
    ${package_dir}/sealpost-receiver_${PROJECT_VERSION}_${deb_architecture}.deb)
set(same_configuration -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
if(CMAKE_TOOLCHAIN_FILE)
    get_filename_component(toolchain ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    list(APPEND same_configuration -DCMAKE_TOOLCHAIN_FILE=${toolchain})
endif()

add_test(NAME packages COMMAND sh -c "rm -rf \"$1\" && umask 0022 && \"$2\" -B \"$1\" >/dev/null" sh
    ${package_dir} ${CMAKE_CPACK_COMMAND}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
set_tests_properties(packages PROPERTIES FIXTURES_SETUP packages)

add_test(NAME packages_lintian COMMAND lintian --fail-on error,warning --display-info --tag-display-limit 0 ${debs})
add_test(NAME packages_unpacked COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/unpacked_packages.sh
    ${PROJECT_BINARY_DIR}/unpacked ${debs})
set_tests_properties(packages_unpacked PROPERTIES ENVIRONMENT
    "VERSION=${PROJECT_VERSION};CC=${CMAKE_C_COMPILER};MULTIARCH=${CMAKE_LIBRARY_ARCHITECTURE};TOOLCHAIN=${toolchain};EMULATOR=${launcher}")
add_test(NAME packages_reproducible COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_packages.sh
    ${PROJECT_BINARY_DIR}/reproduce ${package_dir} ${same_configuration})
set_tests_properties(packages_lintian packages_unpacked packages_reproducible PROPERTIES
    FIXTURES_REQUIRED packages TIMEOUT 600)

# The receiver's package installed by apt and run by systemd in booted
# containers, fresh and as an upgrade from 1.2.0: only where the package is
# this machine's own and can run.
if(SEALPOST_RECEIVER AND NOT CMAKE_CROSSCOMPILING)
    add_test(NAME packages_booted COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/booted_package.sh
        ${PROJECT_BINARY_DIR}/booted ${PROJECT_BINARY_DIR}/booted-cache ${PROJECT_SOURCE_DIR}
        ${package_dir}/sealpost-receiver_${PROJECT_VERSION}_${deb_architecture}.deb
        $<TARGET_FILE:formsend> $<TARGET_FILE:bfseal> $<TARGET_FILE:bfmac>)
    set_tests_properties(packages_booted PROPERTIES FIXTURES_REQUIRED packages TIMEOUT 600
        ENVIRONMENT "CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}")
endif()
