# `cmake --install` and the Debian package: the two executables, the systemd
# user unit and the desktop entry.
include(GNUInstallDirs)

install(TARGETS parley parley-hook RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# `parley service install` writes the same unit for an executable that did
# not come with one (a build tree), naming itself where the placeholder is.
file(READ packaging/parley.service.in PARLEY_SERVICE_TEMPLATE)
configure_file(cmake/service_unit.hpp.in ${CMAKE_BINARY_DIR}/generated/parley_service_unit.hpp
               @ONLY)

# The unit and the desktop entry name the executable by its installed path,
# known only when installing: `cmake --install --prefix` and CPack choose
# their own prefix.
install(CODE "
  set(PARLEY_SERVICE_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/parley\")
  # The menu entry opens the control panel, starting Parley when it is not
  # running.
  set(PARLEY_DESKTOP_EXEC \"\${PARLEY_SERVICE_EXECUTABLE} panel\")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/parley.service.in
                 ${CMAKE_BINARY_DIR}/packaging/parley.service @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/parley.desktop.in
                 ${CMAKE_BINARY_DIR}/packaging/parley.desktop @ONLY)
")

# Relative to the prefix, so /usr/local installs stay under /usr/local
# (systemd reads user units from both lib/systemd/user directories).
install(FILES ${CMAKE_BINARY_DIR}/packaging/parley.service DESTINATION lib/systemd/user)
install(FILES ${CMAKE_BINARY_DIR}/packaging/parley.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parley)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Follow and drive Claude Code sessions in tmux from your phone and by voice")
set(CPACK_PACKAGE_DESCRIPTION
    "Parley receives Claude Code's hook events through a small relay, narrates them, and\nserves session state to one paired phone over Tailscale.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Parley developers <parley@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries come from dpkg-shlibdeps; tmux is run, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tmux")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "espeak-ng-data, pocketsphinx-en-us")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tailscale")
include(CPack)
