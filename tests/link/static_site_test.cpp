#include "link/static_site.hpp"

#include <gtest/gtest.h>

#include <array>

namespace parley::link {
namespace {

namespace http = boost::beast::http;

const std::array<WebFile, 3> kFiles{{
    {"/index.html", "<!doctype html>", "\"a1\""},
    {"/app.js", "export {};", "\"b2\""},
    {"/sub/index.html", "sub", "\"c3\""},
}};

StaticSite::Response get(std::string_view target, http::verb verb = http::verb::get,
                         std::string_view ifNoneMatch = {}) {
  StaticSite::Request request(verb, target, 11);
  if (!ifNoneMatch.empty())
    request.set(http::field::if_none_match, ifNoneMatch);
  return StaticSite(kFiles).respond(request);
}

TEST(StaticSite, ServesFilesWithTheirTypesAndRevalidates) {
  const auto index = get("/?x=1");
  EXPECT_EQ(index.result(), http::status::ok);
  EXPECT_EQ(index.body(), "<!doctype html>");
  EXPECT_EQ(index[http::field::content_type], "text/html; charset=utf-8");
  EXPECT_EQ(index[http::field::etag], "\"a1\"");
  EXPECT_EQ(get("/sub/").body(), "sub");
  EXPECT_EQ(get("/app.js")[http::field::content_type], "text/javascript; charset=utf-8");

  const auto fresh = get("/app.js", http::verb::get, "\"b2\"");
  EXPECT_EQ(fresh.result(), http::status::not_modified);
  EXPECT_TRUE(fresh.body().empty());
  EXPECT_EQ(get("/app.js", http::verb::get, "\"old\"").body(), "export {};");

  const auto head = get("/app.js", http::verb::head);
  EXPECT_TRUE(head.body().empty());
  EXPECT_EQ(head[http::field::content_length], "10");
}

TEST(StaticSite, EveryAnswerIsLockedDownAndUnknownsAreRefused) {
  for (const auto& [target, verb, status] :
       {std::tuple{"/", http::verb::get, http::status::ok},
        {"/missing.js", http::verb::get, http::status::not_found},
        {"/../index.html", http::verb::get, http::status::not_found},
        {"index.html", http::verb::get, http::status::not_found},
        {"/", http::verb::post, http::status::method_not_allowed}}) {
    SCOPED_TRACE(target);
    const auto response = get(target, verb);
    EXPECT_EQ(response.result(), status);
    EXPECT_NE(response["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(response["X-Content-Type-Options"], "nosniff");
    EXPECT_EQ(response["Referrer-Policy"], "no-referrer");
    EXPECT_EQ(response[http::field::cache_control], "no-cache");
  }
}

}  // namespace
}  // namespace parley::link
