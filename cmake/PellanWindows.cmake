# Settings of a Windows build (native, or the cross build of cmake/toolchain-mingw64.cmake).
#
# - MD5 comes from the system's BCrypt: pellan_core links bcrypt (src/CMakeLists.txt).
# - The benchmarks drive pseudo-terminals and the fuzz targets need libFuzzer: Linux only.
# - The firmware set goes into the programs' resource section (cmake/PellanFirmware.cmake).
# - A cross build finds no Windows GoogleTest or nlohmann-json packages in the mingw sysroot: it
#   builds GoogleTest from Debian's sources (package googletest, /usr/src/googletest) and takes the
#   header-only JSON library from the host's headers (package nlohmann-json3-dev). A native build
#   (MSYS2, vcpkg) finds both as packages.

enable_language(RC)

foreach(option IN ITEMS PELLAN_BUILD_BENCH PELLAN_FUZZ)
    if(${option})
        message(STATUS "${option} is for Linux builds: off in a Windows build")
        set(${option} OFF)
    endif()
endforeach()

if(PELLAN_BUILD_TESTS AND NOT TARGET GTest::gtest)
    find_package(GTest QUIET)
    if(NOT GTest_FOUND)
        set(PELLAN_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
            "GoogleTest sources built with the programs when no GoogleTest package is found")
        if(NOT EXISTS "${PELLAN_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
            message(FATAL_ERROR "No GoogleTest for this Windows build: install Debian's googletest"
                " package (sources in /usr/src/googletest), set PELLAN_GOOGLETEST_SOURCE_DIR, or"
                " configure with -DPELLAN_BUILD_TESTS=OFF")
        endif()
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
        add_subdirectory("${PELLAN_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
                         EXCLUDE_FROM_ALL SYSTEM)
        foreach(lib IN ITEMS gtest gtest_main gmock gmock_main)
            # Our warning flags are not GoogleTest's business.
            target_compile_options(${lib} PRIVATE -w)
            if(NOT TARGET GTest::${lib})
                add_library(GTest::${lib} ALIAS ${lib})
            endif()
        endforeach()
    endif()
endif()

find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
    find_file(PELLAN_HOST_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
    if(NOT PELLAN_HOST_NLOHMANN_JSON)
        message(FATAL_ERROR "nlohmann-json not found: install nlohmann-json3-dev")
    endif()
    # Only the library's own folder is put on the include path: the host's /usr/include holds
    # glibc's headers, which must never reach the Windows compiler.
    get_filename_component(json_dir "${PELLAN_HOST_NLOHMANN_JSON}" DIRECTORY)
    set(json_include "${CMAKE_BINARY_DIR}/host-headers")
    file(MAKE_DIRECTORY "${json_include}")
    file(CREATE_LINK "${json_dir}" "${json_include}/nlohmann" SYMBOLIC)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${json_include}")
    set(nlohmann_json_FOUND TRUE)
endif()

# CLI11 (the command-line programs' options) is header only as well: the host's copy (package
# libcli11-dev) when the sysroot has none.
find_package(CLI11 2 CONFIG QUIET)
if(NOT CLI11_FOUND)
    find_file(PELLAN_HOST_CLI11 CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT PELLAN_HOST_CLI11)
        message(FATAL_ERROR "CLI11 not found: install libcli11-dev")
    endif()
    get_filename_component(cli11_dir "${PELLAN_HOST_CLI11}" DIRECTORY)
    set(cli11_include "${CMAKE_BINARY_DIR}/host-headers-cli11")
    file(MAKE_DIRECTORY "${cli11_include}")
    file(CREATE_LINK "${cli11_dir}" "${cli11_include}/CLI" SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${cli11_include}")
endif()
