# Installation and the Debian package of the three programs:
#   cmake --build build --target package   ->   build/tarvik_<version>_<arch>.deb
# The Windows build makes a zip instead (windows_zip.cmake).
# On Linux, in a normal build with the desktop tool. A sanitizer build makes no package: its
# programs are instrumented for the tests, not made for users.
set(TARVIK_PACKAGE_DEB OFF)
set(TARVIK_PACKAGE_ZIP OFF)
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/windows_zip.cmake)
    return()
endif()
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT TARVIK_SANITIZE STREQUAL ""
   OR NOT TARGET tarvik)
    return()
endif()
set(TARVIK_PACKAGE_DEB ON)

include(GNUInstallDirs)
set(package_src ${CMAKE_CURRENT_LIST_DIR})
set(package_out ${PROJECT_BINARY_DIR}/packaging)

# Names a software centre and the package's maintainer field need. The project has no public
# home of its own yet: these are placeholders on a reserved domain until it has one.
set(TARVIK_APP_ID "example.tarvik.tarvik" CACHE STRING
    "AppStream component id, a reverse domain name")
set(TARVIK_MAINTAINER "tarvik maintainers <maintainers@tarvik.example>" CACHE STRING
    "Maintainer of the Debian package: name <address>")
set(TARVIK_SCREENSHOT_URL "" CACHE STRING
    "Public address of docs/window.png for software centres; empty: no screenshot")
# The release date is the build's (SOURCE_DATE_EPOCH when set, for a reproducible package).
string(TIMESTAMP TARVIK_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP TARVIK_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)

# The programs.
install(TARGETS tarvik tarvik-cli tarvik-sim tarvik-station RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The desktop's launcher: entry, icon at every launcher size, software-centre description.
install(FILES ${package_src}/tarvik.desktop ${package_src}/tarvik-station.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/tarvik-${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        RENAME tarvik.png)
endforeach()
set(TARVIK_METAINFO_SCREENSHOT "")
if(TARVIK_SCREENSHOT_URL)
    string(CONCAT TARVIK_METAINFO_SCREENSHOT
        "  <screenshots>\n"
        "    <screenshot type=\"default\">\n"
        "      <caption>tarvik after an upgrade: the board took the image, 升级成功</caption>\n"
        "      <image>${TARVIK_SCREENSHOT_URL}</image>\n"
        "    </screenshot>\n"
        "  </screenshots>\n")
endif()
configure_file(${package_src}/tarvik.metainfo.xml.in
    ${package_out}/${TARVIK_APP_ID}.metainfo.xml @ONLY)
install(FILES ${package_out}/${TARVIK_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages: tarvik-cli's, tarvik-sim's and tarvik-station's made from their --help, so they say what the
# programs do; the window's, which has no command line, written by hand.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
set(manuals "")
function(tarvik_manual_from_help program help_option)
    set(page ${package_out}/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${HELP2MAN} --no-info --locale=C.UTF-8 --help-option=${help_option}
            --include=${package_src}/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nf ${page}
        DEPENDS ${program} ${package_src}/${program}.h2m
        COMMENT "Manual page of ${program}"
        VERBATIM)
    set(manuals ${manuals} ${page}.gz PARENT_SCOPE)
endfunction()
tarvik_manual_from_help(tarvik-cli --help-all)
tarvik_manual_from_help(tarvik-sim --help)
tarvik_manual_from_help(tarvik-station --help)
add_custom_command(OUTPUT ${package_out}/tarvik.1.gz
    COMMAND ${GZIP} -9nc ${package_src}/tarvik.1 > ${package_out}/tarvik.1.gz
    DEPENDS ${package_src}/tarvik.1
    VERBATIM)
list(APPEND manuals ${package_out}/tarvik.1.gz)

# What Debian asks of every package: the copyright and the changelog, compressed as it wants.
configure_file(${package_src}/changelog.in ${package_out}/changelog @ONLY)
add_custom_command(OUTPUT ${package_out}/changelog.gz
    COMMAND ${GZIP} -9nc ${package_out}/changelog > ${package_out}/changelog.gz
    DEPENDS ${package_out}/changelog
    VERBATIM)
add_custom_target(tarvik_package_files ALL DEPENDS ${manuals} ${package_out}/changelog.gz)
install(FILES ${manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${package_src}/copyright ${package_out}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TARVIK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware upgrade tool for serial relay control boards")
set(CPACK_PACKAGE_DESCRIPTION [=[
tarvik upgrades the firmware of a serial relay control board over a serial
line. It finds the board by scanning baud rates, sends the image in
acknowledged 128-byte blocks, verifies a 32-bit sum and reports success or
failure, never a success it has not verified.

The package holds the desktop tool (tarvik, in Simplified Chinese), the same
upgrade from a terminal for scripts and production lines (tarvik-cli), a
production screen that upgrades boards on many fixtures one after another
(tarvik-station) and a simulated board on a pseudo-terminal to try it
without hardware (tarvik-sim).]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the programs themselves. The window also needs its Song face
# with the dialog template's proportions, and the framework's own texts (message-box
# buttons, the file dialog) in Chinese.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-arphic-uming, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
