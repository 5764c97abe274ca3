# Installs the tool like any desktop program (binaries, korva-cli and korva-station
# among them, menu entries, icons, AppStream metainfo, man pages) and describes the
# Debian package that `cpack -G DEB` builds.
# The module emulator is installed too, so the tool can be tried without a module;
# the tests and the benchmark are not.
include(GNUInstallDirs)

install(TARGETS korva-setup korva-cli korva-station korva-module-emulator
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Each window has its menu entry, metainfo and icon: korva-setup and korva-station.
foreach(app IN ITEMS "${KORVA_APP_ID};korva-setup" "${KORVA_STATION_APP_ID};korva-station")
    list(GET app 0 id)
    list(GET app 1 icon)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${id}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${id}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${icon}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    foreach(size IN LISTS KORVA_ICON_SIZES)
        install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/${icon}-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
                RENAME ${icon}.png)
    endforeach()
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/korva-setup.1 ${CMAKE_CURRENT_LIST_DIR}/man/korva-cli.1
              ${CMAKE_CURRENT_LIST_DIR}/man/korva-station.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME korva-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KORVA")
set(CPACK_PACKAGE_CONTACT "KORVA tools team <tools@korva.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Set up KORVA radio modem modules over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "A small desktop tool that reads the configuration of a KORVA radio modem module \
attached by a serial port, shows its addresses, RF frequency, transmit power, packet \
sizes, RSSI threshold and RF speed, and writes changed values back to the module. \
The command-line program korva-cli reads, writes, verifies and clones modules from \
scripts, korva-station programs modules on a production line with one tile per slot, \
and korva-module-emulator emulates a module on a pseudo-terminal, so the \
tools can be tried before the hardware arrives.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY korva-setup)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The platform plugins and the SQL drivers are loaded at run time, so no library
# scan finds them. The Qt libraries come from dpkg-shlibdeps where it is
# installed, else from the list. The ledger's default is SQLite; a PostgreSQL
# ledger needs the second driver.
find_program(KORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(KORVA_DPKG_SHLIBDEPS)
if(KORVA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "qt6-qpa-plugins (>= 6.4), libqt6sql6-sqlite (>= 6.4), libqt6charts6 (>= 6.4)")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6, libstdc++6, libfontconfig1, libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), \
libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4), libqt6sql6 (>= 6.4), \
libqt6charts6 (>= 6.4), qt6-qpa-plugins (>= 6.4), libqt6sql6-sqlite (>= 6.4)")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql (>= 6.4)")

include(CPack)
