#pragma once

// A web site held in the binary: the files of a folder, embedded at build
// time, answered to GET and HEAD with headers strict enough for a page that
// holds a pairing token or drives the desktop. Nothing outside the page's own
// origin may run or load in it, and it may reach only its own origin and the
// other desktops of its tailnet; every answer revalidates, so a page is never
// served stale after an upgrade.

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

  // `tailnet` ("tail1234.ts.net", or empty when unknown) is where the page
  // may open WebSockets besides its own origin.
  explicit StaticSite(std::span<const WebFile> files, std::string tailnet = {})
      : files_(files), tailnet_(std::move(tailnet)) {}

  // "/" and any path ending in "/" mean its index.html; a query is ignored.
  // 404 for anything else, 405 for methods other than GET and HEAD.
  Response respond(const Request& request) const;

  const WebFile* find(std::string_view path) const;

  static std::string_view contentType(std::string_view path);
  // Headers every answer of a site carries, errors included.
  static void secure(Response& response, std::string_view tailnet = {});

 private:
  std::span<const WebFile> files_;
  std::string tailnet_;
};

}  // namespace parley::link
