#pragma once

// One file of a web site embedded in the binary.

#include <string_view>

namespace parley::link {

struct WebFile {
  std::string_view path;  // from the site's root, "/index.html"
  std::string_view body;
  std::string_view etag;  // quoted, as sent
};

}  // namespace parley::link
