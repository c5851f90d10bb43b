// The control panel in real headless Chromium against a real `parley run`
// with a temporary HOME: the first-run checklist, pairing, revoking a
// connected phone, the hooks and notifications tabs, the log, a session's
// changes in a real repository, the price table, and a real Claude Code
// session.
// With PARLEY_SCREENSHOTS set, each view is saved there as a PNG.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdlib>

#include "base/process.hpp"
#include "integration/process_support.hpp"
#include "parley_process.hpp"
#include "support/claude_code_session.hpp"
#include "support/phone_client.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"
#include "support/web_driver.hpp"

namespace parley::test {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr const char* kTailnetName = "desk.tailnet-panel.ts.net";

// `parley run` with its control panel, behind a scripted Tailscale that also
// names the person logged in; the panel's address is read from its output.
class PanelApp {
 public:
  PanelApp(const fs::path& home, const fs::path& scratch) {
    const fs::path bin = scratch / "bin";
    fs::create_directories(bin);
    writeFile(bin / "tailscale", std::string("#!/bin/sh\ncase \"$1\" in\n  status) echo "
                                             "'{\"BackendState\":\"Running\",\"Self\":{"
                                             "\"DNSName\":\"") +
                                     kTailnetName +
                                     ".\",\"UserID\":7},\"User\":{\"7\":{\"LoginName\":"
                                     "\"ada@example.com\"}}}';;\nesac\n");
    fs::permissions(bin / "tailscale", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    env_ = {{"HOME", home.string()},
            {"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")},
            {"LANG", "C.UTF-8"}};
    app_.emplace(env_, port_, scratch, std::vector<std::string>{"--no-open", "--panel-port", "0"});
    const std::string marker = "control panel at ";
    if (!app_->waitForOutput(marker))
      throw std::runtime_error("parley run printed no panel address:\n" + output());
    const std::string text = output();
    const std::size_t at = text.find(marker) + marker.size();
    address_ = text.substr(at, text.find('\n', at) - at);
  }

  // The exit code once the application ends by itself within the deadline.
  std::optional<int> exited() { return app_->exited(20s); }
  std::string output() const { return app_->output(); }
  const std::string& address() const { return address_; }
  std::string origin() const { return address_.substr(0, address_.find("/?")); }
  std::uint16_t phonePort() const { return port_; }
  std::vector<std::string> environment() const {
    std::vector<std::string> out;
    for (const auto& [name, value] : env_)
      out.push_back(name + "=" + value);
    return out;
  }

 private:
  std::map<std::string, std::string> env_;
  std::uint16_t port_ = e2e::freePort();
  std::optional<e2e::ParleyApp> app_;
  std::string address_;
};

class PanelBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = WebDriver::unavailable())
      GTEST_SKIP() << *reason;
  }

  void open(const fs::path& home) {
    app_ = std::make_unique<PanelApp>(home, scratch_.path());
    browser_ = std::make_unique<WebDriver>(
        WebDriver::Options{.width = 400, .height = 900, .mobile = false});
    browser_->go(app_->address());
    ASSERT_TRUE(waitText("#link-status", "listening on :"))
        << browser_->consoleLog() << app_->output();
  }

  bool shown(const std::string& css) {
    return browser_->script("return !document.querySelector(arguments[0]).closest('[hidden]')",
                            {json::value(css)}) == true;
  }
  // Read in the page in one step: the list it is in may be rebuilt between
  // finding an element and reading it.
  std::string textOf(const std::string& css) {
    return std::string(
        browser_
            ->script("const e = document.querySelector(arguments[0]); return e ? e.innerText : ''",
                     {json::value(css)})
            .as_string());
  }
  bool waitText(const std::string& css, const std::string& part,
                std::chrono::milliseconds timeout = 15s) {
    return browser_->waitFor([&] { return textOf(css).find(part) != std::string::npos; }, timeout);
  }
  std::int64_t count(const std::string& css) {
    return browser_
        ->script("return document.querySelectorAll(arguments[0]).length", {json::value(css)})
        .as_int64();
  }
  void snap(const std::string& name) {
    browser_->script(
        "scrollTo(0, 0); for (const w of document.querySelectorAll('.window')) w.scrollTop = 0");
    const char* folder = std::getenv("PARLEY_SCREENSHOTS");
    browser_->screenshot((folder ? fs::path(folder) : scratch_.path()) / (name + ".png"));
  }
  std::string title() { return std::string(browser_->script("return document.title").as_string()); }

  TempDir scratch_;
  std::unique_ptr<PanelApp> app_;
  std::unique_ptr<WebDriver> browser_;
};

TEST_F(PanelBrowser, ChecklistPairingDevicesHooksAndLog) {
  const fs::path home = scratch_ / "home";
  fs::create_directories(home);
  open(home);
  WebDriver& b = *browser_;
  EXPECT_EQ(b.url(), app_->origin() + "/");  // the secret is gone from the address

  // First run: the checklist, with what the machine really has.
  ASSERT_TRUE(b.waitFor([&] { return shown("#setup"); })) << b.consoleLog();
  ASSERT_TRUE(waitText("#check-tailscale", "logged in as ada@example.com"));
  EXPECT_NE(textOf("#check-hooks").find("not registered yet"), std::string::npos);
  EXPECT_EQ(title(), "Parley \u2014 no device paired");
  snap("panel-setup");
  b.click("#setup-continue");
  ASSERT_TRUE(b.waitFor([&] { return !shown("#setup"); }));
  const fs::path preferences = home / ".config/parley/preferences.json";
  ASSERT_TRUE(waitUntil([&] {
    return fs::exists(preferences) &&
           readFile(preferences).find("\"hasCompletedSetup\":true") != std::string::npos;
  }));
  b.go(app_->origin() + "/");
  ASSERT_TRUE(waitText("#link-status", "listening on :"));
  EXPECT_FALSE(shown("#setup"));
  EXPECT_EQ(textOf("#device-line"), "No device paired yet.");

  // Pairing: a QR code, and after closing and pairing again a different one.
  const auto offerSVG = [&] {
    return std::string(
        b.script("return document.getElementById('qr').dataset.svg || ''").as_string());
  };
  b.type("#device-name", "Pixel");
  b.click("#pair");
  ASSERT_TRUE(b.waitFor([&] { return shown("#qr svg"); })) << app_->output();
  EXPECT_EQ(textOf("#offer-host"), kTailnetName);
  EXPECT_EQ(textOf("#offer-port"), "443");
  const std::string first = offerSVG();
  snap("panel-pairing");
  b.click("#collapse-offer");
  ASSERT_TRUE(b.waitFor([&] { return !shown("#offer"); }));
  b.click("#pair");
  ASSERT_TRUE(b.waitFor([&] { return shown("#qr svg") && offerSVG() != first; }));
  b.click("#collapse-offer");
  // Each discarded offer took its never-used device with it.
  const fs::path devices = home / ".local/share/parley/devices.json";
  ASSERT_TRUE(waitUntil([&] { return readFile(devices).find("Pixel") == std::string::npos; }));

  // A phone paired and connected: revoking asks first; Cancel keeps it,
  // Revoke removes it and closes its connection.
  const Completed paired =
      runProcess({.argv = {binPath("parley").string(), "pair", "--name", "Phone", "--json",
                           "--port", std::to_string(app_->phonePort())},
                  .env = app_->environment()},
                 scratch_.path());
  ASSERT_EQ(paired.exitCode, 0) << paired.err;
  PhoneClient phone(app_->phonePort());
  phone.sendHello(std::string(json::parse(paired.out).at("token").as_string()));
  ASSERT_TRUE(waitText("#link-status", "connected")) << app_->output();
  ASSERT_TRUE(waitText("#device-line", "Phone"));
  EXPECT_EQ(title(), "Parley \u2014 idle");
  snap("panel");
  // A permission question shows in the tab's title until the turn ends.
  const auto hook = [&](const std::string& event) {
    writeFile(scratch_ / "event.json", R"({"session_id":"s1","cwd":"/tmp","hook_event_name":")" +
                                           event + R"(","tool_name":"Bash","tool_input":{}})");
    const Completed sent = runProcess({.argv = {binPath("parley-hook").string()},
                                       .env = app_->environment(),
                                       .stdinFile = scratch_ / "event.json"},
                                      scratch_.path());
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
  };
  hook("PermissionRequest");
  EXPECT_TRUE(b.waitFor([&] { return title() == "Parley \u2014 permission needed"; }))
      << app_->output();
  hook("Stop");
  EXPECT_TRUE(b.waitFor([&] { return title() == "Parley \u2014 idle"; }));
  b.click("#open-settings");
  ASSERT_TRUE(b.waitFor([&] { return count("#devices li") == 1; }));
  const std::string phoneCard = "#devices [data-name=Phone]";
  EXPECT_NE(textOf(phoneCard).find("connected"), std::string::npos);
  b.click(phoneCard + " .revoke");
  ASSERT_TRUE(b.waitFor([&] { return shown("#revoke-confirm"); }));
  EXPECT_NE(textOf("#revoke-confirm").find("will need to scan a new QR code"), std::string::npos);
  snap("settings-devices");
  b.click("#revoke-cancel");
  EXPECT_FALSE(shown("#revoke-confirm"));
  EXPECT_EQ(count("#devices li"), 1);
  b.click(phoneCard + " .revoke");
  b.click("#revoke-yes");
  ASSERT_TRUE(b.waitFor([&] { return count("#devices li") == 0; }));
  EXPECT_TRUE(shown("#no-devices"));
  EXPECT_EQ(readFile(devices).find("Phone"), std::string::npos);
  bool closed = false;
  for (int i = 0; i < 20 && !closed; ++i)
    closed = phone.next(2s).kind != PhoneClient::Incoming::Kind::message;
  EXPECT_TRUE(closed);

  // Hooks: Install and Uninstall change Claude Code's settings.
  const fs::path settings = home / ".claude/settings.json";
  b.click("[data-tab=hooks]");
  b.click("#install-hooks");
  ASSERT_TRUE(waitText("#registered", "all events")) << app_->output();
  EXPECT_NE(readFile(settings).find("parley-hook"), std::string::npos);
  snap("settings-hooks");
  b.click("#uninstall-hooks");
  ASSERT_TRUE(waitText("#registered", "not installed"));
  EXPECT_EQ(readFile(settings).find("parley-hook"), std::string::npos);
  b.click("[data-tab=deny]");
  EXPECT_NE(textOf("#deny-commands-title").find("Commands ("), std::string::npos);
  EXPECT_GT(count("#deny-paths li"), 0);
  snap("settings-deny-list");

  // Notifications: where the person is as Parley sees it, the signature the
  // push services get, and the settings, refused with the reason or kept.
  b.click("[data-tab=notifications]");
  ASSERT_TRUE(waitText("#subject-in-use", std::string("https://") + kTailnetName));
  EXPECT_NE(textOf("#whereabouts"), "\u2026");
  EXPECT_FALSE(shown("#subject-problem"));
  EXPECT_EQ(b.script("return document.getElementById('unanswered-after').value"), "30");
  b.clear("#unanswered-after");
  b.type("#unanswered-after", "0");
  b.click("#save-notifications");
  ASSERT_TRUE(waitText("#connection-lost", "Not changed: unansweredAfterSeconds must be"));
  b.clear("#unanswered-after");
  b.type("#unanswered-after", "45");
  b.click("input[name=push][value=never]");
  b.click("#ping-only");
  b.click("#save-notifications");
  ASSERT_TRUE(waitUntil([&] {
    return readFile(preferences)
               .find(R"("notifications":{"push":"never","awayAfterSeconds":60,)"
                     R"("unansweredAfterSeconds":45,"pingOnly":true,"vapidSubject":""})") !=
           std::string::npos;
  })) << readFile(preferences);
  // The file is written before the page hears the answer that clears the
  // refusal.
  EXPECT_TRUE(b.waitFor([&] { return !shown("#connection-lost"); }));
  snap("settings-notifications");
  b.click("#close-settings");

  // The log has filled with all of that; Clear empties it.
  EXPECT_NE(textOf("#log").find("hooks removed"), std::string::npos);
  b.click("#clear-log");
  ASSERT_TRUE(b.waitFor([&] { return count("#log li") == 0; }));

  b.click("#show-voice");
  ASSERT_TRUE(b.waitFor([&] { return shown("#voice"); }));
  EXPECT_EQ(textOf("#voice-prompt"), "Not listening.");
  EXPECT_EQ(b.attribute("#halo", "aria-label"), "Ready");
  snap("voice-window");
}

TEST_F(PanelBrowser, ShowsASessionsChangesAndEditsAPrice) {
  const fs::path home = scratch_ / "home";
  const fs::path repo = scratch_ / "project";
  fs::create_directories(home);
  fs::create_directories(repo);
  const auto git = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-C", repo.string(), "-c", "user.name=Parley Test", "-c",
                                         "user.email=test@example.invalid"});
    const auto result = base::runProcess(
        "/usr/bin/git", arguments,
        {.environment = std::vector<std::string>{"HOME=" + home.string(), "PATH=/usr/bin:/bin",
                                                 "GIT_CONFIG_NOSYSTEM=1"}});
    ASSERT_TRUE(result.ok()) << result.err;
  };
  git({"init", "-q", "-b", "main"});
  writeFile(repo / "staged.txt", "one\n");
  writeFile(repo / "edited.txt", "old\n");
  git({"add", "-A"});
  git({"commit", "-q", "-m", "start"});
  writeFile(repo / "staged.txt", "one\ntwo\n");
  git({"add", "staged.txt"});
  writeFile(repo / "edited.txt", "<img src=x onerror=alert(1)>\n");
  writeFile(repo / "new.txt", "fresh\n");
  const std::string index = readFile(repo / ".git/index");

  open(home);
  WebDriver& b = *browser_;
  b.click("#setup-continue");
  const auto hook = [&](const std::string& fields) {
    writeFile(scratch_ / "event.json",
              R"({"session_id":"s-changes","cwd":")" + repo.string() + R"(",)" + fields + "}");
    const Completed sent = runProcess({.argv = {binPath("parley-hook").string()},
                                       .env = app_->environment(),
                                       .stdinFile = scratch_ / "event.json"},
                                      scratch_.path());
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
  };
  // A session the hooks announced, working in the repository.
  hook(R"("hook_event_name":"SessionStart")");
  ASSERT_TRUE(b.waitFor([&] { return count("#sessions li") == 1; })) << app_->output();

  b.click("#sessions li button.changes");
  ASSERT_TRUE(waitText("#changes-status", "3 changed files on main")) << textOf("#changes-status");
  EXPECT_EQ(textOf("#changes-title"), "Changes in project");
  EXPECT_NE(textOf("[data-area=staged] li[data-path='staged.txt']").find("+1 −0"),
            std::string::npos);
  EXPECT_NE(textOf("[data-area=unstaged] li[data-path='edited.txt']").find("+1 −1"),
            std::string::npos);
  EXPECT_NE(textOf("[data-area=untracked] li[data-path='new.txt']").find("+1 −0"),
            std::string::npos);
  b.click("[data-area=unstaged] li[data-path='edited.txt'] button");
  ASSERT_TRUE(b.waitFor([&] { return count("#changes-list pre.diff span") == 3; }));
  EXPECT_EQ(textOf("#changes-list pre.diff .del"), "-old\n");
  // The diff's text is shown as text: no element came of it.
  EXPECT_EQ(textOf("#changes-list pre.diff .add"), "+<img src=x onerror=alert(1)>\n");
  EXPECT_EQ(count("#changes-list img"), 0);
  EXPECT_EQ(b.script("return getComputedStyle(document.querySelector('pre.diff .add'))"
                     ".backgroundColor"),
            "rgb(227, 246, 230)");
  snap("panel-changes");
  EXPECT_EQ(readFile(repo / ".git/index"), index);
  // A file written by the session shows without a tap on Refresh.
  writeFile(repo / "later.txt", "written\n");
  hook(R"("hook_event_name":"PostToolUse","tool_name":"Write","tool_use_id":"toolu_1")");
  EXPECT_TRUE(waitText("#changes-status", "4 changed files on main")) << textOf("#changes-status");
  b.click("#close-changes");

  // The price table: a negative price is refused with the reason, a good
  // one is stored in the person's price file.
  b.click("#open-settings");
  b.click("[data-tab=prices]");
  const std::string input = "#price-rows tr[data-model='claude-sonnet-4'] input[name=input]";
  ASSERT_TRUE(b.waitFor([&] { return shown(input); }));
  EXPECT_EQ(b.script("return document.querySelector(arguments[0]).value", {json::value(input)}),
            "3");
  b.clear(input);
  b.type(input, "-1");
  b.click("#save-prices");
  ASSERT_TRUE(waitText("#prices-error", "\u201cinput\u201d must be a number of dollars"));
  b.clear(input);
  b.type(input, "2.5");
  b.click("#save-prices");
  const fs::path prices = home / ".config/parley/prices.json";
  ASSERT_TRUE(waitUntil([&] {
    if (!fs::exists(prices))
      return false;
    const json::value stored = json::parse(readFile(prices));
    const auto* sonnet = stored.as_object().if_contains("claude-sonnet-4");
    return sonnet && sonnet->at("input").to_number<double>() == 2.5;
  })) << (fs::exists(prices) ? readFile(prices) : "no price file");
  ASSERT_TRUE(b.waitFor([&] { return shown("#prices-saved"); }));
  EXPECT_FALSE(shown("#prices-error"));
  snap("settings-prices");
}

TEST_F(PanelBrowser, ShowsARealClaudeCodeSessionWithItsState) {
  PARLEY_REQUIRE_CLAUDE_CODE();
  ClaudeCodeSession claude;
  open(claude.home());
  browser_->click("#setup-continue");
  ASSERT_TRUE(browser_->waitFor([&] { return count("#sessions li") == 1; }, 45s)) << app_->output();
  EXPECT_NE(textOf("#sessions li").find("idle \u00b7 default"), std::string::npos)
      << textOf("#sessions li");
  EXPECT_TRUE(shown("#no-sessions") == false);
  browser_->click("#sessions li button.detach");
  ASSERT_TRUE(waitText("#sessions li", "detached \u2014 the pane keeps running"));
  snap("panel-sessions");
  browser_->click("#quit");
  EXPECT_EQ(app_->exited(), 0);
  // The page says so once its request has come back, which may be after
  // Parley has ended.
  EXPECT_TRUE(browser_->waitFor([&] { return shown("#quit-note"); }));
}

}  // namespace
}  // namespace parley::test
