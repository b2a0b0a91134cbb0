# Cross build for 32-bit ARM Linux (hard-float) with Debian's cross toolchain
# and armhf multiarch libraries:
#   dpkg --add-architecture armhf
#   apt-get install g++-arm-linux-gnueabihf libssl-dev:armhf libgtest-dev:armhf \
#                   libstdc++6:armhf qemu-user
# Tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch: armhf libraries live in /usr/lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# The armhf loader and libraries come from multiarch packages (libc6:armhf,
# libstdc++6:armhf), so qemu-arm needs no separate sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# pkg-config must describe the armhf libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# The architecture cpack writes into the .deb.
set(DEB_ARCHITECTURE armhf)
