# The Windows build's own settings, included by the top CMakeLists.txt when WIN32.
#
# - No Qt for Windows can be built here: the Qt window stays out (TARVIK_BUILD_GUI OFF).
# - CLI11 and nlohmann-json are header-only; their headers come from
#   TARVIK_MINGW_DEPS/include, never from /usr/include (see cmake/mingw-w64-x86_64.cmake).
# - Tests run under Wine: every test executable target runs through BUILD/wine-run (ctest's
#   cross-compiling emulator), in the prefix BUILD/wine-prefix, with a warmed wineserver
#   that the fixture tests wine.start and wine.stop hold for the whole ctest run.
#
# To add a Windows test (any folder, after this file is included):
#   tarvik_add_wine_test(NAME wine.frames COMMAND tarvik_frames_test [args...])
#   tarvik_add_wine_test(NAME wine.port PEER com9 COMMAND tarvik_port_win32_test)
# NAME is the ctest name, COMMAND a Windows executable target and its arguments. PEER comN
# runs the test with a Linux pseudo-terminal linked as dosdevices/comN of the prefix, served
# by tarvik-pty-peer (tests/wine/pty_peer.cpp: echoes, and answers its few commands). Optional
# LABELS and TIMEOUT (s, default 300) are passed on; every such test carries the label "wine".
# Linux programs that a Windows test needs (tarvik-sim, the peer, the end-to-end driver) come
# from the host build TARVIK_HOST_TOOLS (./test --windows makes it in build-windows/host).
set(TARVIK_BUILD_GUI OFF)
set(TARVIK_HOST_TOOLS "" CACHE PATH "A Linux build of tarvik-sim and the Wine test helpers")

# Windows 10 API (CancelIoEx, console virtual terminal mode); UTF-16 wide calls throughout.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                        NOMINMAX)

if(NOT TARGET CLI11::CLI11 AND EXISTS ${TARVIK_MINGW_DEPS}/include/CLI/CLI.hpp)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    target_include_directories(CLI11::CLI11 INTERFACE ${TARVIK_MINGW_DEPS}/include)
endif()

set(TARVIK_WINDOWS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows.sh)
cmake_path(NORMAL_PATH TARVIK_WINDOWS_SCRIPT)
set(TARVIK_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
set(TARVIK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
file(CONFIGURE OUTPUT ${TARVIK_WINE_RUN} CONTENT [[#!/bin/sh
# Runs a Windows program of this build under Wine, in this build's prefix.
exec "@TARVIK_WINDOWS_SCRIPT@" run "@CMAKE_BINARY_DIR@" "$@"
]] @ONLY)
file(CHMOD ${TARVIK_WINE_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVIK_WINE_RUN})

enable_testing()
add_test(NAME wine.start COMMAND ${TARVIK_WINDOWS_SCRIPT} wine-start ${CMAKE_BINARY_DIR})
add_test(NAME wine.stop COMMAND ${TARVIK_WINDOWS_SCRIPT} wine-stop ${CMAKE_BINARY_DIR})
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300 LABELS wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120 LABELS wine)

set(TARVIK_PTY_PEER ${TARVIK_HOST_TOOLS}/tests/wine/tarvik-pty-peer)

function(tarvik_add_wine_test)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;PEER;TIMEOUT" "COMMAND;LABELS")
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 300)
    endif()
    list(POP_FRONT arg_COMMAND target)
    if(arg_PEER)
        if(NOT TARVIK_HOST_TOOLS)
            message(STATUS "${arg_NAME}: left out, it needs TARVIK_HOST_TOOLS")
            return()
        endif()
        add_test(NAME ${arg_NAME}
                 COMMAND ${TARVIK_PTY_PEER} --link ${TARVIK_WINE_PREFIX}/dosdevices/${arg_PEER}
                         -- ${TARVIK_WINE_RUN} $<TARGET_FILE:${target}> ${arg_COMMAND})
    else()
        add_test(NAME ${arg_NAME} COMMAND ${target} ${arg_COMMAND})
    endif()
    if(arg_PEER)
        # One peer per COM name at a time; the test learns the name from the environment.
        set_tests_properties(${arg_NAME} PROPERTIES RESOURCE_LOCK ${arg_PEER}
                             ENVIRONMENT TARVIK_PEER_COM=${arg_PEER})
    endif()
    set_tests_properties(${arg_NAME} PROPERTIES
        FIXTURES_REQUIRED wine
        TIMEOUT ${arg_TIMEOUT}
        LABELS "wine;${arg_LABELS}")
endfunction()
