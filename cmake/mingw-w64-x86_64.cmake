# CMake toolchain for 64-bit Windows programs built on Linux with Debian's mingw-w64
# (the posix-thread compilers, so std::thread and std::mutex work), linked statically: each
# .exe imports only system DLLs and runs as it is, under Windows or Wine.
#
# Usage (./test --windows does all of this):
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTARVIK_MINGW_DEPS=$PWD/build-windows/mingw-deps
# TARVIK_MINGW_DEPS is a folder holding what the build needs for Windows beyond mingw's own
# headers: GoogleTest built with this toolchain, and copies of the header-only CLI11 and
# nlohmann-json headers.
# /usr/include is never searched: its glibc headers break mingw's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVIK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVIK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_TRIPLET}-windres)

# Passed on to try_compile projects, which see only what the toolchain lists.
set(TARVIK_MINGW_DEPS "" CACHE PATH "GoogleTest and header-only libraries built for mingw")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_MINGW_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_TRIPLET})
if(TARVIK_MINGW_DEPS)
    list(APPEND CMAKE_FIND_ROOT_PATH ${TARVIK_MINGW_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beside the programs: the C and C++ runtimes and winpthread go into each .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
