# The Debian package, built by `cmake --build <dir> --target package`. Included from the
# top-level list so that CPack sees the whole project's install rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME harborlock)
set(CPACK_PACKAGE_VENDOR "Harborlock")
set(CPACK_PACKAGE_CONTACT "Harborlock maintainers <harborlock@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Receives full and incremental backups from Quarnex phone-system servers over TCP, keeps them\n\
in a backup folder and serves restores. Includes the desktop window (Harborlock), the service\n\
without a window (harborlockd) with systemd units for one user or the whole machine, and its\n\
command-line client (harborlock-ctl).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared-library dependencies come from dpkg-shlibdeps; the SVG icon plugin is loaded at run
# time and adduser is the postinst's fallback for creating the service user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only the install rules of the programs users run, the window's files and the units are
# packaged; test tools and the setup stub have none.
set(CPACK_STRIP_FILES ON)
include(CPack)
