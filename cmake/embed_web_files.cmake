# Run as a script at build time: writes a C++ source holding every file under
# DIR as bytes, with its path under the site's root and a content hash that
# serves as its ETag, so a page served from the binary changes exactly when
# one of its files does.
#   -DDIR=folder -DOUT=file.cpp -DFUNCTION=name (a function in parley::web)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${DIR}" "${DIR}/*")
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(relative IN LISTS files)
  if(relative MATCHES "(^|/)\\." OR relative MATCHES "~$")
    continue()  # editor and VCS droppings are not part of the site
  endif()
  file(READ "${DIR}/${relative}" hex HEX)
  file(SHA256 "${DIR}/${relative}" hash)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char file${index}[] = {${bytes}0};\n")
  string(SUBSTRING "${hash}" 0 16 etag)
  string(APPEND entries
    "      {\"/${relative}\", bytes(file${index}, ${size}), \"\\\"${etag}\\\"\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(CONFIGURE OUTPUT "${OUT}.new" CONTENT [=[// Generated from @DIR@ at build time; do not edit.
#include <span>

#include "link/static_site.hpp"

namespace {
@arrays@
[[maybe_unused]] std::string_view bytes(const unsigned char* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
}  // namespace

namespace parley::web {
std::span<const link::WebFile> @FUNCTION@() {
  static const link::WebFile files[] = {
@entries@      {"", {}, {}}};
  return {files, std::size(files) - 1};
}
}  // namespace parley::web
]=] @ONLY)
# Only a changed source is written, so an unchanged site relinks nothing.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
