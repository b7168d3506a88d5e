# Installs the application as a desktop application (launcher, icons, AppStream metadata) and
# describes its Debian package; scripts/package builds it.
set(HALVANE_DATA ${PROJECT_SOURCE_DIR}/data)
set(HALVANE_DESKTOP_FILE ${PROJECT_BINARY_DIR}/data/${HALVANE_APP_ID}.desktop)
set(HALVANE_METAINFO_FILE ${PROJECT_BINARY_DIR}/data/${HALVANE_APP_ID}.metainfo.xml)
configure_file(${HALVANE_DATA}/halvane.desktop.in ${HALVANE_DESKTOP_FILE} @ONLY)
configure_file(${HALVANE_DATA}/halvane.metainfo.xml.in ${HALVANE_METAINFO_FILE} @ONLY)
configure_file(${HALVANE_DATA}/debian/changelog.in ${PROJECT_BINARY_DIR}/data/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/halvane.1 ${PROJECT_BINARY_DIR}/data/halvane.1 @ONLY)
# Debian wants them compressed reproducibly: no name, no time stamp.
foreach(pair changelog:changelog.Debian.gz halvane.1:halvane.1.gz)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 plain)
    list(GET pair 1 packed)
    execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/data/${plain}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/data/${packed} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

install(TARGETS halvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${HALVANE_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${HALVANE_METAINFO_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${HALVANE_DATA}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${PROJECT_BINARY_DIR}/data/halvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${HALVANE_DATA}/debian/copyright ${PROJECT_BINARY_DIR}/data/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/halvane)
# Packaging must not build the tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvane)
set(CPACK_PACKAGE_VENDOR "The Halvane developers")
set(CPACK_PACKAGE_CONTACT "Halvane developers <maintainers@halvane.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps the Vantrel command-line program installed and running")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel Halvane lives in the system tray and looks after the vantrel\n\
command-line program: it downloads the latest build over HTTPS, starts it\n\
in a login shell and shows everything it prints, in colour, in a\n\
terminal-like window.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without Xwayland the Wayland platform plugin is the only one that can open a display.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://halvane.dev/")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
include(CPack)
