# What another project needs to build on the installed library: a CMake
# package configuration (find_package(BlowfishEncDec CONFIG)) with a version
# file, and a pkg-config file (pkg-config blowfishencdec). Both locate the
# installation from their own folder, so an unpacked package works anywhere.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/BlowfishEncDec)
install(EXPORT BlowfishEncDecTargets
    NAMESPACE BlowfishEncDec::
    DESTINATION ${config_dir}
    COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BlowfishEncDecConfig.cmake.in
    ${PROJECT_BINARY_DIR}/BlowfishEncDecConfig.cmake
    INSTALL_DESTINATION ${config_dir}
    NO_SET_AND_CHECK_MACRO NO_CHECK_REQUIRED_COMPONENTS_MACRO)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BlowfishEncDecConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BlowfishEncDecConfig.cmake
    ${PROJECT_BINARY_DIR}/BlowfishEncDecConfigVersion.cmake
    DESTINATION ${config_dir}
    COMPONENT development)

set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pkgconfig_to_prefix /${pkgconfig_dir} /)
string(REGEX REPLACE "/$" "" pkgconfig_to_prefix "${pkgconfig_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/blowfishencdec.pc.in
    ${PROJECT_BINARY_DIR}/blowfishencdec.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/blowfishencdec.pc
    DESTINATION ${pkgconfig_dir}
    COMPONENT development)
