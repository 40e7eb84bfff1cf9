# The smoke run of the fuzz targets inside the ordinary test run: each target's input function,
# built with the build's own compiler and sanitizers and the driver of smoke_driver.cpp instead of
# libFuzzer, takes its seeds and a fixed set of mutations of them (ctest names fuzz_smoke.<name>).
# The long runs are scripts/fuzz.sh's.
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
set(PELLAN_FUZZ_SMOKE_MUTATIONS 3000 CACHE STRING "Mutations per fuzz target in the test run")

add_library(pellan_fuzz_smoke_driver OBJECT ${CMAKE_CURRENT_LIST_DIR}/smoke_driver.cpp)
foreach(target IN LISTS PELLAN_FUZZ_TARGETS)
    add_executable(${target}_smoke ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
    target_include_directories(${target}_smoke PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(${target}_smoke PRIVATE pellan_fuzz_smoke_driver pellan_core)
    add_test(NAME fuzz_smoke.${target}
             COMMAND ${target}_smoke ${CMAKE_CURRENT_LIST_DIR}/corpus/${target}
                     ${PELLAN_FUZZ_SMOKE_MUTATIONS})
    set_tests_properties(fuzz_smoke.${target} PROPERTIES TIMEOUT 120)
endforeach()
