# Every dependency comes from Debian 12's packages (scripts/install-deps.sh).
# Only what some target links is required here.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json url)
find_package(OpenSSL REQUIRED)
find_package(CLI11 REQUIRED)
find_package(spdlog REQUIRED)
find_package(CURL REQUIRED)

pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(LIBGIT2 REQUIRED IMPORTED_TARGET libgit2)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(ESPEAK_NG REQUIRED IMPORTED_TARGET espeak-ng)
# Its voice activity detector tells speech from the room's noise. Debian's
# build of it also exports a main() (one of its tools, built in by mistake):
# an executable taking main() from a library (gtest_main) must link that one
# first, as CMake's order (direct libraries before transitive ones) does.
pkg_check_modules(WEBRTC_AUDIO REQUIRED IMPORTED_TARGET webrtc-audio-processing)
# Debian's pocketsphinx.pc names /usr/include/sphinxbase, which the multiarch
# package does not have; an imported target would refuse the missing path.
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx)
add_library(parley_pocketsphinx INTERFACE)
foreach(dir ${POCKETSPHINX_INCLUDE_DIRS})
  if(EXISTS ${dir})
    target_include_directories(parley_pocketsphinx SYSTEM INTERFACE ${dir})
  endif()
endforeach()
target_compile_options(parley_pocketsphinx INTERFACE ${POCKETSPHINX_CFLAGS_OTHER})
target_link_libraries(parley_pocketsphinx INTERFACE ${POCKETSPHINX_LINK_LIBRARIES})
pkg_get_variable(PARLEY_POCKETSPHINX_MODELDIR pocketsphinx modeldir)

if(PARLEY_BUILD_TESTS OR PARLEY_BUILD_BENCH)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(PARLEY_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
