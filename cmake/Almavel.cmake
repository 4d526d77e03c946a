# Shared build settings and helpers for every folder.

# A compiler cache, when the machine has one: most rebuilds touch few files.
find_program(ALMAVEL_CCACHE ccache)
if(ALMAVEL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${ALMAVEL_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${ALMAVEL_CCACHE})
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(GTest REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)

set(ALMAVEL_WARNINGS -Wall -Wextra -Wno-unused-parameter)
# GCC 12 at -O2/-O3 reports overlapping copies inside libstdc++'s own
# std::string code (GCC bug 105329) wherever a short literal is assigned or
# appended; nothing in our code overlaps, and -Werror would stop the Release
# build on it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND ALMAVEL_WARNINGS -Wno-restrict)
endif()
if(ALMAVEL_WERROR)
  list(APPEND ALMAVEL_WARNINGS -Werror)
endif()

# What the library and program sources compile with (tests, benchmarks and
# test support keep ALMAVEL_WARNINGS). Pooled threads may still run when main
# returns, so a static whose destructor runs at exit can be destroyed under
# them: every such static is built once and never destroyed
# (platform/no_destructor.h), and clang refuses a new one. GCC has no such
# warning; the clang build is the one CI runs.
set(ALMAVEL_PRODUCT_WARNINGS ${ALMAVEL_WARNINGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND ALMAVEL_PRODUCT_WARNINGS -Wexit-time-destructors)
endif()

# GCC collects its own garbage as soon as its heap passes a size scaled to the
# machine's memory; a larger first heap spares most of those collections (a
# tenth of a test file's compile time) for about a quarter more memory per
# compiler, and the largest unit (the back end's HTTP server) even uses less.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(--param=ggc-min-expand=100 --param=ggc-min-heapsize=524288)
endif()

option(ALMAVEL_TSAN "Build with ThreadSanitizer (not together with ALMAVEL_SANITIZE)" OFF)
if(ALMAVEL_SANITIZE AND ALMAVEL_TSAN)
  message(FATAL_ERROR "ALMAVEL_SANITIZE and ALMAVEL_TSAN cannot be on in one build tree")
endif()

if(ALMAVEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # The sanitized programs are linked at a fixed address: as position-
  # independent executables they carried some three million relocations
  # (the sanitizer's descriptors of every global) that each start of a test
  # or of the app applied before main, two fifths of a short test's time on
  # two cores. The Release build keeps position-independent programs.
  add_link_options("$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-no-pie>")
endif()
if(ALMAVEL_TSAN)
  # Asio's headers order memory with std::atomic_thread_fence, which TSan does
  # not model; GCC says so on every such unit (-Wtsan), which -Werror would
  # turn into a failed build. A race TSan then reports through such a fence
  # is read with that in mind.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

# GNU ld spent about a minute of CPU linking a clean tree's sanitized
# programs; mold (scripts/install-deps installs it) links the same objects
# in under a third of that. Used only where it is installed and the
# compiler takes it.
option(ALMAVEL_MOLD "Link with mold when it is installed" ON)
find_program(ALMAVEL_MOLD_PROGRAM mold)
if(ALMAVEL_MOLD AND ALMAVEL_MOLD_PROGRAM)
  include(CheckLinkerFlag)
  check_linker_flag(CXX -fuse-ld=mold ALMAVEL_LINKS_WITH_MOLD)
  if(ALMAVEL_LINKS_WITH_MOLD)
    add_link_options(-fuse-ld=mold)
  endif()
endif()

# Test certificate authority and server certificate for the local back end's
# HTTPS and WSS listeners. Generated per build tree, never committed.
set(ALMAVEL_CERT_DIR ${CMAKE_BINARY_DIR}/certs)
# Regenerated whenever the script changes (for example new service names).
file(SHA256 ${CMAKE_SOURCE_DIR}/scripts/make-certs _certs_hash)
if(EXISTS ${ALMAVEL_CERT_DIR}/stamp)
  file(READ ${ALMAVEL_CERT_DIR}/stamp _certs_stamp)
else()
  set(_certs_stamp "")
endif()
if(NOT _certs_stamp STREQUAL _certs_hash OR NOT EXISTS ${ALMAVEL_CERT_DIR}/server.pem)
  file(REMOVE_RECURSE ${ALMAVEL_CERT_DIR})
  execute_process(
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-certs ${ALMAVEL_CERT_DIR}
    RESULT_VARIABLE _certs_rc)
  if(NOT _certs_rc EQUAL 0)
    message(FATAL_ERROR "scripts/make-certs failed")
  endif()
  file(WRITE ${ALMAVEL_CERT_DIR}/stamp "${_certs_hash}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-certs)

# almavel_library(<target> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# One static library per folder; its public headers live in <folder>/include.
function(almavel_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                       PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${ALMAVEL_PRODUCT_WARNINGS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  set_property(GLOBAL APPEND PROPERTY ALMAVEL_ALL_LIBS ${target})
endfunction()

# Every test unit reads GoogleTest and the same standard headers: parsed once
# as a precompiled header rather than once per unit, a build from scratch (as
# CI does) spends far less time in them. Only headers from outside the
# project go in, so an edit to the project's own headers rebuilds no more
# than before. Heavier headers only some units read (cpp-httplib, nlohmann's
# JSON) stay out: loading a larger header costs every other unit more than
# it saves the units that read them.
set(ALMAVEL_TEST_PCH <gtest/gtest.h> <gmock/gmock.h> <string> <string_view> <vector> <map> <set>
  <memory> <functional> <optional> <mutex> <chrono> <thread> <atomic> <filesystem> <fstream> <sstream>)

# The compiler cache keeps units built with a precompiled header only when
# told to hash it rather than refuse it.
function(almavel_pch_cache target)
  if(ALMAVEL_CCACHE AND CMAKE_CXX_COMPILER_LAUNCHER STREQUAL ALMAVEL_CCACHE)
    set_property(TARGET ${target} PROPERTY CXX_COMPILER_LAUNCHER
      ${CMAKE_COMMAND} -E env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${ALMAVEL_CCACHE})
  endif()
endfunction()

# What every test binary, and the target that builds their shared
# precompiled header, compiles with: a precompiled header is only used by
# units built with the options and macros it was built with.
function(almavel_test_settings target)
  target_compile_options(${target} PRIVATE ${ALMAVEL_WARNINGS})
  # C++ units only: a test binary may build generated C sources as well.
  list(TRANSFORM ALMAVEL_TEST_PCH REPLACE "^<(.+)>$" "$<$<COMPILE_LANGUAGE:CXX>:<\\1$<ANGLE-R>>" OUTPUT_VARIABLE pch)
  target_precompile_headers(${target} PRIVATE ${pch})
  almavel_pch_cache(${target})
  target_link_libraries(${target} PRIVATE almavel_testing GTest::gtest GTest::gmock)
  # Test files leave out the undefined-behaviour checks made at every pointer
  # use (null, alignment, vptr): in test code, macro- and lambda-heavy, they
  # made a third of a clean build, while the code under test keeps them and
  # AddressSanitizer still stops a null dereference.
  if(ALMAVEL_SANITIZE)
    target_compile_options(${target} PRIVATE -fno-sanitize=null,alignment,vptr)
  endif()
  target_compile_definitions(${target} PRIVATE
    ALMAVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    ALMAVEL_BINARY_DIR="${CMAKE_BINARY_DIR}"
    ALMAVEL_CERT_DIR="${ALMAVEL_CERT_DIR}")
endfunction()

# almavel_test(<target> LABEL <label> SOURCES ... [DEPS ...] [PRIVATE_LIBS ...] [COST <n>] [TIMEOUT <s>]
#              [PROCESSORS <n>])
# A GoogleTest binary whose cases are registered with CTest one by one under
# one label. Each folder links all its test files into one such binary: one
# link per folder instead of one per file keeps builds fast as tests grow,
# while ctest still runs every case in its own process.
# COST orders a run with no timings of an earlier one (a fresh clone, CI):
# ctest starts the costliest cases first, so that the cases of a few
# minutes each run beside the many short ones instead of after them.
# TIMEOUT, for cases that run the program over and over, replaces the
# run's default timeout. PROCESSORS is how many of ctest's -j slots a case
# takes: a case that keeps several sanitized processes busy at once (the
# program, the back end, the test) counts for as many, so that fewer such
# cases share the cores. Sixteen of them at once on eight cores took a
# third more processor time for the same work than five did, and longer.
function(almavel_test target)
  cmake_parse_arguments(ARG "" "LABEL;COST;TIMEOUT;PROCESSORS" "SOURCES;DEPS;PRIVATE_LIBS" ${ARGN})
  if(NOT ARG_COST)
    set(ARG_COST 0)
  endif()
  if(NOT ARG_PROCESSORS)
    set(ARG_PROCESSORS 1)
  endif()
  set(timeout)
  if(ARG_TIMEOUT)
    set(timeout TIMEOUT ${ARG_TIMEOUT})
  endif()
  add_executable(${target} ${ARG_SOURCES})
  almavel_test_settings(${target})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} ${ARG_PRIVATE_LIBS})
  set_property(GLOBAL APPEND PROPERTY ALMAVEL_ALL_TESTS ${target})
  # Listing the cases at build time would start every sanitized binary once
  # more on each link; listing them when ctest starts does it only when the
  # binary changed since the last run.
  gtest_discover_tests(${target}
    PROPERTIES LABELS ${ARG_LABEL} COST ${ARG_COST} PROCESSORS ${ARG_PROCESSORS} ${timeout}
    DISCOVERY_TIMEOUT 120
    DISCOVERY_MODE PRE_TEST)
endfunction()

# almavel_folder_tests(<target> LABEL <label> [EXTRA_SOURCES ...] [DEPS ...] [PRIVATE_LIBS ...] [COST <n>])
# The folder's tests/*_test.cpp (new files are picked up at the next build)
# plus any helper sources, as one test binary.
function(almavel_folder_tests target)
  cmake_parse_arguments(ARG "" "LABEL;COST" "EXTRA_SOURCES;DEPS;PRIVATE_LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  almavel_test(${target} LABEL ${ARG_LABEL} SOURCES ${tests} ${ARG_EXTRA_SOURCES}
    DEPS ${ARG_DEPS} PRIVATE_LIBS ${ARG_PRIVATE_LIBS} COST ${ARG_COST})
endfunction()

# almavel_share_test_pch()  (once, after every folder)
# Every test binary had its own copy of the same precompiled header, a
# quarter of a minute of processor time each in a clean build. They now
# share one, built by a target of their own. GCC takes a precompiled header
# when every macro defined at its build is defined alike in the unit; macros
# the header never reads may be added, so a folder may still give its tests
# a macro of their own. A binary that adds headers of its own to its
# precompiled header, or builds C sources too (a shared header is one
# language's), keeps building its own.
function(almavel_share_test_pch)
  get_property(tests GLOBAL PROPERTY ALMAVEL_ALL_TESTS)
  if(NOT tests)
    return()
  endif()
  set(source ${CMAKE_BINARY_DIR}/almavel_test_pch.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT "// Builds the test binaries' shared precompiled header.\n")
  add_library(almavel_test_pch OBJECT ${source})
  almavel_test_settings(almavel_test_pch)
  get_target_property(shared almavel_test_pch PRECOMPILE_HEADERS)
  foreach(target IN LISTS tests)
    get_target_property(own ${target} PRECOMPILE_HEADERS)
    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.c$")
    if(own STREQUAL shared AND NOT sources)
      set_property(TARGET ${target} PROPERTY PRECOMPILE_HEADERS)
      set_property(TARGET ${target} PROPERTY PRECOMPILE_HEADERS_REUSE_FROM almavel_test_pch)
    endif()
  endforeach()
endfunction()
