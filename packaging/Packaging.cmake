# Two Debian packages from one build: `cpack -G DEB` (or `make package` at the top) writes
# kavlink_VERSION_ARCH.deb and kavlink-server_VERSION_ARCH.deb.
set(CPACK_PACKAGE_NAME kavlink)
set(CPACK_PACKAGE_VENDOR "The Kavlink developers")
set(CPACK_PACKAGE_CONTACT "The Kavlink developers <kavlink@kavlink.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL kavlink server)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KAVLINK_HOMEPAGE})
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_KAVLINK_PACKAGE_NAME kavlink)
# The first line of each description is its synopsis.
set(CPACK_DEBIAN_KAVLINK_DESCRIPTION
    "link for the logging networks of several sites\n\
Kavlink joins the local network of a radio logging station to the networks of\n\
other sites. It relays the logging computers' UDP broadcasts through a tunnel\n\
server, so the stations of several sites work as one logging network.\n\
.\n\
This package holds the tray program with its desktop entry, icons and user\n\
unit for headless use, and kavlink-lan, which watches or feeds the LAN.")
# The platform plugins draw the tray icon and the about panel; the libraries do not pull them
# in. The SVG plugins come with libqt6svg6, which the program links.
set(CPACK_DEBIAN_KAVLINK_PACKAGE_DEPENDS "qt6-qpa-plugins")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kavlink-server)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "tunnel server for Kavlink\n\
The tunnel server that the Kavlink of every site connects to. It logs clients\n\
in from a users file and passes every tunnel line from one client to all the\n\
others.\n\
.\n\
This package holds the server, its manual page and a hardened systemd unit\n\
that runs it without privileges as the system user kavlink-server.")
# The maintainer scripts create the server's user (adduser where systemd is missing).
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/maintainer/postinst
    ${CMAKE_CURRENT_LIST_DIR}/maintainer/prerm ${CMAKE_CURRENT_LIST_DIR}/maintainer/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Packages need CMAKE_INSTALL_PREFIX=/usr (now ${CMAKE_INSTALL_PREFIX})")
endif()
include(CPack)
