# Installs the application as a desktop application (launcher, icons, AppStream metadata) and
# describes its Debian package; scripts/package builds it.
set(HALVANE_DATA ${PROJECT_SOURCE_DIR}/data)
set(HALVANE_DESKTOP_FILE ${PROJECT_BINARY_DIR}/data/${HALVANE_APP_ID}.desktop)
set(HALVANE_METAINFO_FILE ${PROJECT_BINARY_DIR}/data/${HALVANE_APP_ID}.metainfo.xml)
configure_file(${HALVANE_DATA}/halvane.desktop.in ${HALVANE_DESKTOP_FILE} @ONLY)
configure_file(${HALVANE_DATA}/halvane.metainfo.xml.in ${HALVANE_METAINFO_FILE} @ONLY)
configure_file(${HALVANE_DATA}/debian/changelog.in ${PROJECT_BINARY_DIR}/data/changelog @ONLY)
# Debian wants it compressed reproducibly: no name, no time stamp.
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/data/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/data/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)

install(TARGETS halvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${HALVANE_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${HALVANE_METAINFO_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${HALVANE_DATA}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
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
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://halvane.dev/")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
include(CPack)
