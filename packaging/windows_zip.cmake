# The Windows zip: tarvik-<version>-windows-x64.zip, one folder of the same name holding the
# programs (statically linked: nothing to install beside them) and a short read-me.
#   cmake --build build-windows --target package
set(TARVIK_PACKAGE_ZIP ON)
set(zip_programs "")
foreach(program tarvik tarvik-cli tarvik-station)
    if(TARGET ${program})
        list(APPEND zip_programs ${program})
    endif()
endforeach()
install(TARGETS ${zip_programs} RUNTIME DESTINATION .)
# Line ends a Windows editor shows as such.
configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in
    ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
