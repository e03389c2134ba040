# SPDX-License-Identifier: Apache-2.0
# The Debian package: `cpack -G DEB` in a build tree configured with the prefix /usr
# (scripts/package.sh does it all). It holds what `cmake --install` lays out.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelbos)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelbos project")
set(CPACK_PACKAGE_CONTACT "Kelbos project <kelbos@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make network throughput visible")
# The long description, after the summary line: CPack indents it, an empty line
# separates paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kelbos is a pair of desktop programs that show network throughput. The
transmitter, kelbostx, sends a stream of data to a receiver host over TCP or
UDP and shows its send rate in Mbits/s; the receiver, kelbosrx, accepts up to
ten transmitters at once and shows each link's rate and their total.

Both draw a picture of 3-D boxes, kelbos, that empties on the transmitter and
fills on the receiver as the data crosses the network. The receiver also runs
without a display on a server (kelbosrx --headless --json).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Qt runtime libraries (and with them the platform plugins that open a window or
# run headless: libqt6gui6 carries them) come from what the programs link, found by
# dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# On a Wayland desktop without it, Qt opens the windows through XWayland.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qt6-wayland)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install with the real prefix into a staging DESTDIR, so that the desktop entries
# name the scene where the package puts it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# At install, the datagram buffer ceiling of the sysctl file, raised at once; the
# service's life cycle as Debian's helpers script it: enabled by nobody but the user,
# restarted by an upgrade, stopped by a removal, its links gone with a purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/postinst
    ${PROJECT_SOURCE_DIR}/resources/prerm ${PROJECT_SOURCE_DIR}/resources/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
