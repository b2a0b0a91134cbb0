# cpack builds one .deb with the three programs, their man pages, and the
# library with its header. A cross toolchain names the Debian architecture in
# DEB_ARCHITECTURE; otherwise dpkg tells the build machine's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sealpost)
set(CPACK_PACKAGE_VENDOR "sealpost developers")
set(CPACK_PACKAGE_CONTACT "sealpost developers <sealpost@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# bfseal and bfopen load libcrypto; formsend needs only libc.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libssl3 (>= 3.0.0)")
if(DEB_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEB_ARCHITECTURE})
endif()
include(CPack)
