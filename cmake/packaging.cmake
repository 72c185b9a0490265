# The Debian package: cpack -G DEB in the build folder (or the target
# package) makes telvane_<version>_<arch>.deb from the install rules: the
# three programs, the desktop entry, icons, man pages and user units. Its
# dependencies come from dpkg-shlibdeps.
include(GNUInstallDirs)

# Debian wants a copyright file and a changelog beside every package's docs;
# the copyright file names Telvane's MIT licence (LICENSE) in Debian's
# machine-readable form.
set(_telvane_docs ${CMAKE_INSTALL_DATADIR}/doc/telvane)
# (changelog.gz: a version without a Debian revision makes a native package.)
set(_telvane_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(
    OUTPUT ${_telvane_changelog}
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/res/debian/changelog > ${_telvane_changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/res/debian/changelog
    VERBATIM)
add_custom_target(telvane_changelog ALL DEPENDS ${_telvane_changelog})
install(FILES ${CMAKE_SOURCE_DIR}/res/debian/copyright ${_telvane_changelog} DESTINATION ${_telvane_docs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Telvane developers")
set(TELVANE_PACKAGE_CONTACT "Telvane developers <telvane@telvane.example.org>" CACHE STRING
    "Maintainer of the Debian package, as Name <address>")
set(CPACK_PACKAGE_CONTACT "${TELVANE_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://telvane.example.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relays hardware sensor readings to the local network")
set(CPACK_PACKAGE_DESCRIPTION
    "Telvane maps the shared-memory section a hardware monitor publishes,
shows every reading in its window and serves the readings to one TCP
client on port 8881. The package carries telvane-publish, which
publishes this computer's own sensors (or a made-up computer) in that
section, and telvane-client, which prints or watches a Telvane's readings.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
