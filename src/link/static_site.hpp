#pragma once

// A web site held in the binary: the files of a folder, embedded at build
// time, answered to GET and HEAD with headers strict enough for a page that
// holds a pairing token or drives the desktop. Nothing outside the page's own
// origin may run, load or be reached from it; every answer revalidates, so a
// page is never served stale after an upgrade.

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <span>
#include <string>
#include <string_view>

#include "link/web_file.hpp"

namespace parley::link {

class StaticSite {
 public:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;

  explicit StaticSite(std::span<const WebFile> files) : files_(files) {}

  // "/" and any path ending in "/" mean its index.html; a query is ignored.
  // 404 for anything else, 405 for methods other than GET and HEAD.
  Response respond(const Request& request) const;

  const WebFile* find(std::string_view path) const;

  static std::string_view contentType(std::string_view path);
  // Headers every answer of a site carries, errors included.
  static void secure(Response& response);

 private:
  std::span<const WebFile> files_;
};

}  // namespace parley::link
