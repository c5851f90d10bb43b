#include "link/static_site.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace parley::link {

namespace http = boost::beast::http;

namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// blob: in img-src is for the thumbnails of images about to be sent.
// 'self' in connect-src covers the page's own ws: and wss: origin; the
// tailnet's wildcard lets one page follow its other desktops, and no one else.
constexpr std::string_view kPolicyHead =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "connect-src 'self'";
constexpr std::string_view kPolicyTail =
    "; manifest-src 'self'; worker-src 'self'; media-src 'self'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

StaticSite::Response plain(http::status status, std::string_view text, unsigned version,
                           std::string_view tailnet) {
  StaticSite::Response response(status, version);
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.body() = std::string(text) + "\n";
  StaticSite::secure(response, tailnet);
  response.prepare_payload();
  return response;
}

}  // namespace

std::string_view StaticSite::contentType(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kTypes{{
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".webmanifest", "application/manifest+json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},
      {".txt", "text/plain; charset=utf-8"},
      {".wasm", "application/wasm"},
  }};
  for (const auto& [suffix, type] : kTypes)
    if (endsWith(path, suffix))
      return type;
  return "application/octet-stream";
}

void StaticSite::secure(Response& response, std::string_view tailnet) {
  std::string policy(kPolicyHead);
  if (!tailnet.empty())
    policy.append(" wss://*.").append(tailnet);
  policy.append(kPolicyTail);
  response.set("Content-Security-Policy", policy);
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.set("X-Frame-Options", "DENY");
  response.set("Cross-Origin-Opener-Policy", "same-origin");
  response.set(http::field::cache_control, "no-cache");
}

const WebFile* StaticSite::find(std::string_view path) const {
  const auto it =
      std::find_if(files_.begin(), files_.end(), [&](const WebFile& f) { return f.path == path; });
  return it == files_.end() ? nullptr : &*it;
}

StaticSite::Response StaticSite::respond(const Request& request) const {
  const unsigned version = request.version();
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Response response =
        plain(http::status::method_not_allowed, "Method not allowed.", version, tailnet_);
    response.set(http::field::allow, "GET, HEAD");
    return response;
  }
  std::string path(request.target().substr(0, request.target().find_first_of("?#")));
  if (path.empty() || path.front() != '/' || path.find("/..") != std::string::npos)
    return plain(http::status::not_found, "Not found.", version, tailnet_);
  if (path.back() == '/')
    path += "index.html";
  const WebFile* file = find(path);
  if (!file)
    return plain(http::status::not_found, "Not found.", version, tailnet_);

  Response response(http::status::ok, version);
  secure(response, tailnet_);
  response.set(http::field::etag, file->etag);
  if (request[http::field::if_none_match] == file->etag) {
    response.result(http::status::not_modified);
    return response;
  }
  response.set(http::field::content_type, contentType(path));
  if (request.method() == http::verb::head)
    response.content_length(file->body.size());
  else {
    response.body() = std::string(file->body);
    response.prepare_payload();
  }
  return response;
}

}  // namespace parley::link
