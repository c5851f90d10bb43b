# Every dependency comes from Debian 12's packages (scripts/install-deps.sh).
# Only what some target links is required here.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json url)
find_package(OpenSSL REQUIRED)
find_package(CLI11 REQUIRED)

pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(ESPEAK_NG REQUIRED IMPORTED_TARGET espeak-ng)
pkg_check_modules(POCKETSPHINX REQUIRED IMPORTED_TARGET pocketsphinx)
pkg_get_variable(PARLEY_POCKETSPHINX_MODELDIR pocketsphinx modeldir)

if(PARLEY_BUILD_TESTS OR PARLEY_BUILD_BENCH)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(PARLEY_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
