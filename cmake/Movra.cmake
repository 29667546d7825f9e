# Helpers shared by every folder's CMakeLists.txt.

# In the Windows build an object spends a good part of its time in windows.h and the headers
# around it: there they are precompiled once per kind of code. (Not the C++ standard headers:
# GCC forgets that a precompiled header is a system header, and warnings it keeps quiet there
# would fail the build. The native builds do without, so that a missing include still shows.)
set(MOVRA_WINDOWS_PCH ${PROJECT_SOURCE_DIR}/platform/win.h)

# movra_library(name SOURCES ... DEPS ...): a subsystem library with the root as include base.
# In the Windows build the platform library precompiles the common headers for the others.
function(movra_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    movra_warnings(${name})
    if(WIN32 AND name STREQUAL "movra_platform")
        target_precompile_headers(${name} PRIVATE ${MOVRA_WINDOWS_PCH})
    elseif(WIN32)
        target_precompile_headers(${name} REUSE_FROM movra_platform)
    endif()
endfunction()

# GoogleTest from Debian's sources, built with the tests only. Its own speed is not what the tests
# measure: it is compiled unoptimised and without debug information, which takes half the time.
macro(movra_googletest)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(part gtest gtest_main gmock gmock_main)
        target_compile_options(${part} PRIVATE -O0 -g0)
    endforeach()
endmacro()

# movra_test_code(target [PCH_DONOR]): how the code of the tests is compiled. What it tests is
# built as the product is; the tests' own code needs no optimisation, and outside the sanitizer
# builds, whose reports name its lines, no debug information: that halves the time of the test
# objects, which are most of every build. GoogleTest's headers are precompiled once per build, in
# the donor (the test support library), and every other test program takes that header.
function(movra_test_code target)
    cmake_parse_arguments(ARG "PCH_DONOR" "" "" ${ARGN})
    if(MOVRA_FUZZ)
        return()
    endif()
    target_compile_options(${target} PRIVATE -O0)
    if(NOT MOVRA_SANITIZE AND NOT MOVRA_TSAN)
        target_compile_options(${target} PRIVATE -g0)
    endif()
    target_link_libraries(${target} PRIVATE GTest::gmock GTest::gtest)
    if(ARG_PCH_DONOR)
        target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <gmock/gmock.h>
                                  $<$<BOOL:${WIN32}>:${MOVRA_WINDOWS_PCH}>)
    else()
        target_precompile_headers(${target} REUSE_FROM movra_test_support)
    endif()
endfunction()

# movra_test(name SOURCES ... DEPS ...): a GoogleTest program registered with CTest. The Windows
# build runs it under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
function(movra_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} movra_test_support GTest::gmock GTest::gtest_main)
    movra_warnings(${name})
    movra_test_code(${name})
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    if(MOVRA_TSAN)
        # Any report fails the test; the suppressions each carry their reason.
        set_tests_properties(${name} PROPERTIES ENVIRONMENT
            "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1")
    endif()
endfunction()

# movra_os_sources(var dir): every .cpp of dir for this build: *_win32.cpp on Windows, *_posix.cpp
# elsewhere, every other .cpp on both.
function(movra_os_sources var dir)
    file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cpp)
    set(selected)
    foreach(source ${all})
        if(source MATCHES "_posix\\.cpp$")
            if(NOT WIN32)
                list(APPEND selected ${source})
            endif()
        elseif(source MATCHES "_win32\\.cpp$")
            if(WIN32)
                list(APPEND selected ${source})
            endif()
        else()
            list(APPEND selected ${source})
        endif()
    endforeach()
    set(${var} ${selected} PARENT_SCOPE)
endfunction()
