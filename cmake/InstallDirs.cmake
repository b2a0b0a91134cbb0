# Libraries go to Debian's multiarch folder, lib/<triplet>, so that the
# development packages of two architectures install side by side. A build
# tree that cached plain lib before is moved over too; any other folder can
# be chosen with -DCMAKE_INSTALL_LIBDIR.
if(CMAKE_LIBRARY_ARCHITECTURE AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR CMAKE_INSTALL_LIBDIR STREQUAL "lib"))
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (LIBDIR)" FORCE)
endif()
include(GNUInstallDirs)
# Folders that installing creates get Debian's modes whatever the umask, so
# that the packages do not depend on who builds them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
