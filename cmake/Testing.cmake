# GoogleTest from the Debian package's sources; nothing is downloaded.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources missing: apt-get install googletest")
endif()
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(KESTRUNE_WINDOWS)
    # A private Wine prefix under the build tree; created by the first test (fixture below)
    # and kept between runs.
    set(KESTRUNE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(KESTRUNE_WINE_ENV "WINEPREFIX=${KESTRUNE_WINEPREFIX}" "WINEDEBUG=-all")
    add_test(NAME wine_prefix COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh ${KESTRUNE_WINEPREFIX})
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
endif()

# kestrune_add_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...])
# Native: a plain gtest executable. Windows: run under Wine through the emulator, after the
# Wine prefix exists.
function(kestrune_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} kestrune_warnings GTest::gtest_main GTest::gmock)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
    if(KESTRUNE_WINDOWS)
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine
                                                ENVIRONMENT "${KESTRUNE_WINE_ENV}")
    endif()
endfunction()
