// The phone page in real headless Chromium at a phone's size, against the
// real `parley run` and real Claude Code 2.1.222 in tmux: pairing from the
// link `parley pair` prints, following and driving the session, and the
// cards for Claude Code's dialogs. With PARLEY_SCREENSHOT_DIR set, the main
// views are saved there as PNG files.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <memory>
#include <string>

#include "claude_code_session.hpp"
#include "parley_process.hpp"
#include "support/web_driver.hpp"

namespace parley::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace e2e;

class PhonePage : public ParleyDesk {
 protected:
  void SetUp() override {
    PARLEY_REQUIRE_CLAUDE_CODE();
    if (const auto reason = WebDriver::unavailable())
      GTEST_SKIP() << *reason;
    putTailscaleOnPath();

    ClaudeCodeOptions options;
    options.prepareHome = [this](const fs::path& home) {
      if (!runProcess({binPath("parley").string(), "hooks", "install"}, environment(home)).ok())
        throw std::runtime_error("parley hooks install failed");
    };
    claude_ = std::make_unique<ClaudeCodeSession>(options);
    home_ = claude_->home();
    sessionID_ = claude_->waitForSessionID();
    ASSERT_FALSE(sessionID_.empty()) << "no session id in " << claude_->sessionFilePath();

    port_ = freePort();
    startApp();
    const ProcessResult paired =
        parley({"pair", "--name", "Browser", "--json", "--port", std::to_string(port_)});
    ASSERT_TRUE(paired.ok()) << paired.err;
    const std::string url(json::parse(paired.out).at("url").as_string());
    const std::string prefix = std::string("https://") + kTailnetName + "/#pair=";
    ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
    fragment_ = url.substr(url.find('#'));
    token_ = std::string(json::parse(paired.out).at("token").as_string());
    browser_ = std::make_unique<WebDriver>();
  }

  void TearDown() override {
    if (HasFailure() && browser_) {
      std::cerr << "---- page console\n" << browser_->consoleLog() << "----\n";
      shoot("failure.png");
    }
    browser_.reset();
    if (app_ && HasFailure())
      std::cerr << "---- parley run\n" << app_->output() << app_->errors() << "----\n";
    app_.reset();
    if (HasFailure() && claude_)
      std::cerr << "---- Claude Code's screen\n" << claude_->screen() << "----\n";
  }

  void startApp() {
    app_ = std::make_unique<ParleyApp>(environment(home_), port_, scratch_.path());
    ASSERT_TRUE(app_->waitForOutput("listening on :" + std::to_string(port_)));
    ASSERT_TRUE(app_->waitForOutput("hook socket listening at "));
  }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Opens the pairing link on the page's own origin; the only session opens
  // by itself.
  void pairAndOpenSession() {
    browser_->go(origin() + "/" + fragment_);
    ASSERT_TRUE(browser_->waitForText("#link-state", "Connected")) << browser_->text("#link-state");
    ASSERT_TRUE(browser_->waitFor([&] { return browser_->exists("#session:not([hidden])"); }));
    EXPECT_TRUE(browser_->exists("button[data-session-id='" + sessionID_ + "']"));
  }

  bool feedShows(const std::string& text, std::chrono::milliseconds timeout = 60s) {
    const bool shown = browser_->waitForText("#feed-holder", text, timeout);
    if (!shown)
      ADD_FAILURE() << "the feed never showed \"" << text << "\"; it shows:\n"
                    << browser_->text("#feed-holder");
    return shown;
  }

  // A real click, on the element brought to the middle of the screen: the
  // driver's own scrolling would leave it under the sticky header.
  void tap(const std::string& css) {
    browser_->script("document.querySelector(arguments[0]).scrollIntoView({block: 'center'})",
                     {json::value(css)});
    browser_->click(css);
  }

  void sendFromPage(const std::string& prompt) {
    browser_->clear("#prompt");
    browser_->type("#prompt", prompt);
    tap("#send");
  }

  // Clicks the first enabled button matching `css` whose text is `label`
  // (buttons of a new card arm a moment after it appears).
  bool clickButton(const std::string& css, const std::string& label) {
    return browser_->waitFor([&] {
      return browser_->script(R"(for (const b of document.querySelectorAll(arguments[0]))
          if (b.textContent.trim() === arguments[1] && !b.disabled) { b.click(); return true; }
        return false;)",
                              {json::value(css), json::value(label)}) == true;
    });
  }

  void shoot(const std::string& name) {
    if (const char* dir = std::getenv("PARLEY_SCREENSHOT_DIR"))
      browser_->screenshot(fs::path(dir) / name);
  }

  std::unique_ptr<ClaudeCodeSession> claude_;
  std::string sessionID_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ParleyApp> app_;
  std::string fragment_;
  std::string token_;
  std::unique_ptr<WebDriver> browser_;
};

TEST_F(PhonePage, PairsFollowsAndDrivesASessionAndSurvivesARestart) {
  ASSERT_NO_FATAL_FAILURE(pairAndOpenSession());
  // The token left the address bar and lives in the browser's storage only.
  EXPECT_EQ(browser_->url(), origin() + "/");
  EXPECT_EQ(
      browser_->script("return localStorage.getItem('parley.desk.' + location.host + '.token')"),
      json::value(token_));

  // A turn started at the keyboard is narrated.
  claude_->api().enqueue(Turn::text("Hello from the **desk** turn."));
  claude_->submit("say hello");
  // The Markdown is rendered: the page shows the words, not the asterisks.
  ASSERT_TRUE(feedShows("Hello from the desk turn."));

  // A prompt from the page is answered.
  claude_->api().enqueue(Turn::text("Answer for the phone."));
  sendFromPage("answer the phone");
  ASSERT_TRUE(feedShows("Answer for the phone."));
  ASSERT_TRUE(claude_->api().waitForMainRequests(2, 30s));
  EXPECT_EQ(claude_->api().mainRequests().at(1).userText(), "answer the phone");
  shoot("phone-feed.png");

  // A question is answered from its card.
  claude_->api().enqueue(Turn::tools({ToolCall::askUserQuestion(
                                         "Which database should we use?", "Database",
                                         {{"Postgres", "Relational server"}, {"SQLite", "File"}})})
                             .then("Going with SQLite."));
  sendFromPage("pick a database with me");
  ASSERT_TRUE(browser_->waitForText("#cards", "Which database should we use?", 60s));
  ASSERT_TRUE(claude_->waitForText("2. SQLite"));
  shoot("phone-question.png");
  ASSERT_TRUE(clickButton(".card.question button", "SQLite"));
  ASSERT_TRUE(feedShows("Going with SQLite."));
  ASSERT_TRUE(claude_->api().waitForMainRequests(4, 30s));
  EXPECT_TRUE(contains(claude_->api().mainRequests().at(3).toolResults().at(0).content,
                       "\"Which database should we use?\"=\"SQLite\""));

  // The terminal view follows the pane, colours and all.
  tap("#term-toggle");
  ASSERT_TRUE(browser_->waitForText("#terminal", "Going with SQLite."));
  EXPECT_TRUE(browser_->waitFor([&] {
    return browser_->script("return document.querySelectorAll('#terminal span').length > 1") ==
           true;
  }));
  browser_->script("document.getElementById('terminal').scrollIntoView({block: 'center'})");
  shoot("phone-terminal.png");
  tap("#term-toggle");

  // `parley run` restarts: the page says so, comes back by itself, and keeps
  // what it showed.
  app_->stop();
  ASSERT_TRUE(browser_->waitFor([&] {
    const std::string state = browser_->text("#link-state");
    return state.find("Reconnecting") != std::string::npos;
  }));
  startApp();
  ASSERT_TRUE(browser_->waitForText("#link-state", "Connected", 60s));
  EXPECT_NE(browser_->text("#feed-holder").find("Answer for the phone."), std::string::npos);
  claude_->api().enqueue(Turn::text("Still here after the restart."));
  claude_->submit("are you there");
  ASSERT_TRUE(feedShows("Still here after the restart."));
}

}  // namespace
}  // namespace parley::test
