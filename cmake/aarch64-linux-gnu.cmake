# Cross-builds for arm64 on an amd64 Debian with its multiarch packages
# (tools/install-deps.sh arm64): the aarch64 compilers, the arm64 Qt libraries, the host's own
# moc and rcc, and the emulator that runs the programs and tests here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The library architecture makes find_package take Qt's arm64 packages from
# /usr/lib/aarch64-linux-gnu; moc, rcc and the other build tools are the host's.
set(QT_HOST_PATH /usr)
# What Qt's packages look up with pkg-config must come from arm64 too, not from the host.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# No binfmt registration needed: ctest and custom commands call the emulator by name.
find_program(KAVLINK_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVLINK_QEMU_AARCH64})

# The package's architecture, as dpkg names it.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
