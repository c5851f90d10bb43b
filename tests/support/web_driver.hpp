#pragma once

// Real headless Chromium for the web faces' tests, driven through
// chromedriver's W3C WebDriver protocol (JSON over loopback HTTP). One object
// is one browser with a fresh profile, emulating a phone-sized touch screen
// unless told otherwise. Calls that fail throw with chromedriver's message.

#include <boost/json/value.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parley::test {

class WebDriver {
 public:
  struct Options {
    int width = 360;
    int height = 780;
    bool mobile = true;  // touch events and a phone's viewport
    // More command-line switches for Chromium (host mappings, certificates).
    std::vector<std::string> switches;
  };

  // Why no browser can be started here (chromium or chromedriver missing),
  // for a test to skip with; nullopt when both are installed.
  static std::optional<std::string> unavailable();

  WebDriver();
  explicit WebDriver(Options options);
  ~WebDriver();
  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  // Grants the page a permission ("notifications") as if the person had.
  void grant(const std::string& permission);

  void go(const std::string& url);
  std::string url();

  // Element ids for a CSS selector; `element` throws when none matches.
  std::vector<std::string> elements(const std::string& css);
  std::string element(const std::string& css);
  bool exists(const std::string& css) { return !elements(css).empty(); }

  void click(const std::string& css);
  // Types into the element (after focusing it); WebDriver key codes such as
  // "\ue007" (Enter) pass through.
  void type(const std::string& css, const std::string& text);
  void clear(const std::string& css);
  // The rendered text of the first match, "" when there is none.
  std::string text(const std::string& css);
  std::optional<std::string> attribute(const std::string& css, const std::string& name);

  // Runs `script` as a function body in the page; `arguments` are its args.
  boost::json::value script(const std::string& script, boost::json::array arguments = {});

  // Polls `condition` (which may use this driver) until it holds; a
  // WebDriver error inside counts as not yet.
  bool waitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(15));
  bool waitForText(const std::string& css, const std::string& contains,
                   std::chrono::milliseconds timeout = std::chrono::seconds(15));

  void screenshot(const std::filesystem::path& png);
  // What the page printed to its console since the last call (errors
  // included), to show when a test fails.
  std::string consoleLog();

 private:
  boost::json::value call(const std::string& method, const std::string& path,
                          const boost::json::value* body = nullptr);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace parley::test
