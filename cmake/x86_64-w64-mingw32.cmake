# Cross-builds for Windows x86-64 with Debian's MinGW-w64 (the posix thread model, which Qt
# needs), against the Qt that tools/qt-windows.sh builds from Debian's source into
# KAVLINK_QT_WINDOWS; moc, rcc and the other build tools are the host's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT DEFINED KAVLINK_QT_WINDOWS)
    if(DEFINED ENV{KAVLINK_QT_WINDOWS})
        set(KAVLINK_QT_WINDOWS $ENV{KAVLINK_QT_WINDOWS})
    else()
        set(KAVLINK_QT_WINDOWS /var/cache/kavlink/qt-6.4.2-mingw64)
    endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KAVLINK_QT_WINDOWS})
set(CMAKE_PREFIX_PATH ${KAVLINK_QT_WINDOWS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# Nothing of the host's libraries may be found through pkg-config.
set(ENV{PKG_CONFIG_LIBDIR} /nonexistent)
