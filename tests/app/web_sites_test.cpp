#include "app/web_sites.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/http_standin.hpp"
#include "support/test_support.hpp"
#include "support/web_driver.hpp"

namespace parley::web {
namespace {

// Both faces carry every file of their folder, byte for byte, so a page that
// works from web/ works from the binary.
TEST(WebSites, EmbedEveryFileOfTheirFolder) {
  const std::filesystem::path root = test::fixturePath("../../web");
  for (const auto& [folder, site] : {std::pair{"phone", phoneSite()}, {"panel", panelSite()}}) {
    SCOPED_TRACE(folder);
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
      if (!entry.is_regular_file() || entry.path().filename().string().starts_with("."))
        continue;
      ++files;
      const std::string path =
          std::string("/").append(entry.path().lexically_relative(root / folder).string());
      const link::WebFile* file = link::StaticSite(site).find(path);
      ASSERT_NE(file, nullptr) << path;
      EXPECT_EQ(file->body, test::readFile(entry.path())) << path;
      EXPECT_EQ(file->etag.size(), 18u);
    }
    EXPECT_EQ(site.size(), files);
    EXPECT_GT(files, 0u);
  }
}

// The headers let a real browser run the page from its own origin: a policy
// too strict for its own files would leave a blank page.
TEST(WebSites, APhoneSizedBrowserLoadsTheEmbeddedPage) {
  if (const auto reason = test::WebDriver::unavailable())
    GTEST_SKIP() << *reason;
  const link::StaticSite site(panelSite());
  test::HttpStandin server([&](const auto& request) { return site.respond(request); });
  test::WebDriver browser;
  browser.go(server.url() + "/");
  EXPECT_TRUE(browser.waitFor([&] { return browser.script("return document.title") == "Parley"; }))
      << browser.consoleLog();
  EXPECT_EQ(browser.script("return innerWidth"), 360);
}

}  // namespace
}  // namespace parley::web
