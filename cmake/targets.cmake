# Project-wide target helpers. Our own code builds with all warnings on; the
# presets and CI also make them errors (PARLEY_WERROR), while a plain build by
# a packager or a newer compiler only warns. Third-party headers are included
# as system headers and stay quiet.

# GCC 12 warns about every member a designated initializer leaves out, even
# those with default member initializers; records are built that way on
# purpose, so that one warning is off.
set(PARLEY_WARNINGS -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wno-missing-field-initializers)
if(PARLEY_WERROR)
  list(APPEND PARLEY_WARNINGS -Werror)
endif()

if(PARLEY_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ccache, where the machine has it, makes rebuilds of unchanged files free.
find_program(PARLEY_CCACHE ccache)
if(PARLEY_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${PARLEY_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${PARLEY_CCACHE})
endif()

# Boost.Asio and Beast are used header-only; this keeps every translation unit
# on the same configuration. Beast's string_view is boost::core::string_view,
# which converts to and from std::string_view, so it needs no setting.
add_compile_definitions(BOOST_ASIO_NO_DEPRECATED)

# Precompiled headers: one for the libraries and programs, one with
# GoogleTest for the tests, each built once and reused by every target (the
# compile options are the same everywhere). Parsing Boost's headers is most
# of the time a file takes to compile.
option(PARLEY_PCH "Precompile the heavy third-party headers" ON)
if(PARLEY_PCH)
  # A precompiled header serves only files compiled with the macros it was
  # built with. These come from imported targets (Boost's, utf8proc's, and
  # PulseAudio's flags) that most but not all of our targets link; defined
  # everywhere, they change nothing on this platform and keep the header
  # usable by every target.
  add_compile_definitions(BOOST_JSON_NO_LIB BOOST_JSON_DYN_LINK BOOST_CONTAINER_NO_LIB
    BOOST_CONTAINER_DYN_LINK BOOST_URL_NO_LIB BOOST_URL_DYN_LINK UTF8PROC_EXPORTS _REENTRANT)
endif()
if(PARLEY_PCH AND PARLEY_CCACHE)
  # ccache caches files compiled against a precompiled header only when told
  # that its timestamps and __DATE__ may be ignored.
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${PARLEY_CCACHE})
endif()

function(parley_apply_common target)
  target_compile_options(${target} PRIVATE ${PARLEY_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
endfunction()

# parley_use_pch(TARGET [test]): reuse the shared precompiled header.
function(parley_use_pch target)
  if(NOT PARLEY_PCH)
    return()
  endif()
  set(pch parley_pch)
  if(ARGV1 STREQUAL "test")
    set(pch parley_test_pch)
  endif()
  if(NOT TARGET ${pch})
    add_library(${pch} STATIC ${PROJECT_SOURCE_DIR}/cmake/precompiled.cpp)
    parley_apply_common(${pch})
    target_link_libraries(${pch} PRIVATE Boost::headers Boost::json)
    if(pch STREQUAL parley_test_pch)
      target_link_libraries(${pch} PRIVATE GTest::gtest GTest::gmock)
      target_precompile_headers(${pch} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/precompiled_test.hpp)
    else()
      target_precompile_headers(${pch} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/precompiled.hpp)
    endif()
  endif()
  target_precompile_headers(${target} REUSE_FROM ${pch})
endfunction()

# parley_library(NAME [NO_PCH] SOURCES ... DEPS ...): one static library per
# layer. NO_PCH for code built with options of its own (the relay).
function(parley_library name)
  cmake_parse_arguments(ARG "NO_PCH" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  parley_apply_common(${name})
  if(NOT ARG_NO_PCH)
    parley_use_pch(${name})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# parley_executable(NAME [NO_PCH] SOURCES ... DEPS ...)
function(parley_executable name)
  cmake_parse_arguments(ARG "NO_PCH" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  parley_apply_common(${name})
  if(NOT ARG_NO_PCH)
    parley_use_pch(${name})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# parley_test(NAME SOURCES ... DEPS ... [LABELS ...] [TIMEOUT s]): a GoogleTest
# program whose cases ctest runs one by one (so `ctest -j` spreads them).
function(parley_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  parley_apply_common(${name})
  parley_use_pch(${name} test)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} parley_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    PARLEY_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    PARLEY_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# parley_bench(NAME SOURCES ... DEPS ...): a Google Benchmark program that
# `make bench` runs.
function(parley_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  parley_apply_common(${name})
  parley_use_pch(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench)
  target_compile_definitions(${name} PRIVATE
    PARLEY_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    PARLEY_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  set_property(GLOBAL APPEND PROPERTY PARLEY_BENCHES ${name})
endfunction()

# parley_web_site(NAME DIR FUNCTION): a library holding every file of DIR,
# reachable as parley::web::FUNCTION() (see link/static_site.hpp). Files added
# to DIR are picked up at the next build.
function(parley_web_site name dir function)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS "${dir}/*")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp")
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DDIR=${dir} -DOUT=${out} -DFUNCTION=${function}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_web_files.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/embed_web_files.cmake
    COMMENT "Embedding ${dir}"
    VERBATIM)
  parley_library(${name} SOURCES ${out} DEPS parley_link)
endfunction()
