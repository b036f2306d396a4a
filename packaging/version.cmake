# The one version of the programs and packages is the CMake project's. Every program gets it
# from the generated header tarvik_version.h (target tarvik_version).
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
    ${PROJECT_BINARY_DIR}/generated/tarvik_version.h @ONLY)
add_library(tarvik_version INTERFACE)
target_include_directories(tarvik_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
