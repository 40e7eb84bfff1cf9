# Installation and the Debian package (cpack -G DEB in the build folder, or scripts/package.sh).
#
# Installed: the programs (pellan when Qt 6 is there), the desktop entry and its icon, the man
# pages of the two command-line programs, the README and docs/ as documentation, and the udev
# rules that give the stick's ports to the group dialout and keep ModemManager off them.
include(GNUInstallDirs)

set(PELLAN_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

foreach(program IN ITEMS pellan pellan-cli pellan-stick-sim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

if(TARGET pellan)
    install(FILES "${PELLAN_PACKAGING_DIR}/desktop/pellan.desktop"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES "${PELLAN_PACKAGING_DIR}/icons/pellan.svg"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Debian policy wants man pages compressed with gzip -9n (no name, no time stamp).
find_program(PELLAN_GZIP gzip)
foreach(page IN ITEMS pellan-cli.1 pellan-stick-sim.1)
    set(source "${PELLAN_PACKAGING_DIR}/man/${page}")
    if(PELLAN_GZIP)
        set(packed "${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz")
        add_custom_command(OUTPUT "${packed}"
            COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
            COMMAND ${PELLAN_GZIP} -9n -c "${source}" > "${packed}"
            DEPENDS "${source}" VERBATIM)
        list(APPEND pellan_man_pages "${packed}")
    else()
        list(APPEND pellan_man_pages "${source}")
    endif()
endforeach()
add_custom_target(pellan_man_pages ALL DEPENDS ${pellan_man_pages})
install(FILES ${pellan_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# udev reads /usr/lib/udev/rules.d, which is where the package (prefix /usr) puts the rules; with
# another prefix (/usr/local) they land below it, and have to be copied to /etc/udev/rules.d by
# hand. A relative folder keeps the staging of cpack and DESTDIR installs inside their folder.
set(PELLAN_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rules are installed, relative to the install prefix")
install(FILES "${PELLAN_PACKAGING_DIR}/udev/70-pellan-hx402a.rules"
        DESTINATION "${PELLAN_UDEV_RULES_DIR}")

install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PELLAN_PACKAGING_DIR}/modemmanager.md"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "pellan")
set(CPACK_PACKAGE_VENDOR "pellan developers")
set(CPACK_PACKAGE_CONTACT "pellan developers <dev@pellan.invalid>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the HX402A USB modem stick")
set(CPACK_PACKAGE_DESCRIPTION
    "pellan backs up the HX402A stick's NV calibration items, switches the stick into its boot\n\
downloader, writes the firmware into its NAND flash, restores the NV items and returns the\n\
stick to normal mode; up to eight sticks at once. The package holds the desktop program, the\n\
command-line updater pellan-cli, the stick simulator pellan-stick-sim and udev rules for the\n\
stick's serial ports.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "pellan developers <dev@pellan.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "modemmanager")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pellan.invalid/")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
include(CPack)
