// Sessions opened from the phone, against the real Claude Code 2.1.222 in a
// private tmux server that stands for the person's: a session starts in a
// trusted project with its first prompt, is stopped the way a person stops
// it, and is resumed with its conversation; its mode is switched to plan and
// back; an untrusted folder and unknown ids are refused without opening
// anything.

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>
#include <future>

#include "claude_code_session.hpp"
#include "terminal/session_driver.hpp"

namespace parley::terminal {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ClaudeCodeSession;
using test::Turn;

class SessionStartE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::installedClaudeCode())
      GTEST_SKIP() << test::claudeCodeMissingMessage();
    claude = std::make_unique<ClaudeCodeSession>();
    // A folder Claude Code has records of but was never told to trust.
    untrusted = claude->home().parent_path() / "untrusted";
    fs::create_directories(untrusted);
    test::writeFile(claude->home() /
                        ".claude/projects/-untrusted/"
                        "99999999-0000-0000-0000-000000000001.jsonl",
                    boost::json::serialize(boost::json::object{
                        {"type", "user"},
                        {"cwd", untrusted.string()},
                        {"message", {{"role", "user"}, {"content", "old work"}}}}) +
                        "\n");

    registry = std::make_shared<SessionRegistry>(pool.get_executor(),
                                                 SessionSources::forHome(claude->home()));
    const auto tmp = claude->home().parent_path() / "tmp";
    SessionLauncher::Options launch{
        .home = claude->home(),
        .socketPath = claude->socketPath().string(),
        .claudeExecutable = *test::installedClaudeCode(),
        .environment = {"HOME=" + claude->home().string(),
                        "ANTHROPIC_BASE_URL=" + claude->api().baseUrl(),
                        std::string("ANTHROPIC_API_KEY=") + ClaudeCodeSession::kApiKey,
                        "DISABLE_TELEMETRY=1", "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1",
                        "DISABLE_AUTOUPDATER=1", "CLAUDE_CODE_TMPDIR=" + tmp.string()}};
    driver = std::make_shared<SessionDriver>(
        own.get_executor(), registry,
        [this](const std::string& line) {
          std::lock_guard lock(mutex);
          logLines.push_back(line);
        },
        SessionDriver::Options{
            .settleTimeout = 3000ms,
            .pollInterval = 25ms,
            .injected = injected,
            .catalog = std::make_shared<ProjectCatalog>(claude->home()),
            .launcher = std::make_shared<SessionLauncher>(std::move(launch)),
            .startTimeout = 60000ms,
            .opened =
                [this](const std::string& socket, const std::string& pane) {
                  std::lock_guard lock(mutex);
                  openedWindows.emplace_back(socket, pane);
                },
        });
  }

  void TearDown() override {
    own.join();
    pool.join();
  }

  struct Outcome {
    std::string error;
    protocol::CommandResult result;
  };
  Outcome run(protocol::SessionCommand command) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    driver->run(std::move(command), [promise](std::exception_ptr e, protocol::CommandResult r) {
      try {
        if (e)
          std::rethrow_exception(e);
        promise->set_value({"", std::move(r)});
      } catch (const std::exception& error) {
        promise->set_value({error.what(), {}});
      }
    });
    return promise->get_future().get();
  }

  std::vector<std::string> windows() const {
    const auto r = TmuxClient(TmuxClient::resolveExecutable(), claude->socketPath().string())
                       .run({"list-windows", "-a", "-F", "#{session_name}:#{window_name}"});
    std::vector<std::string> out;
    std::istringstream in(r.standardOutput);
    for (std::string line; std::getline(in, line);)
      out.push_back(line);
    return out;
  }

  std::string screen(const std::string& pane) const {
    return TmuxClient(TmuxClient::resolveExecutable(), claude->socketPath().string())
        .capture(pane, std::nullopt, false);
  }

  // The session Claude Code reports in that pane, once discovery finds it.
  std::optional<RegisteredSession> sessionIn(const std::string& pane) {
    std::optional<RegisteredSession> found;
    test::waitUntil(
        [&] {
          for (auto& s : registry->sweep(std::chrono::system_clock::now(), asio::use_future).get())
            if (s.descriptor.paneID == pane)
              found = s;
          return found.has_value();
        },
        30s, 200ms);
    return found;
  }

  bool logged(const std::string& text) {
    std::lock_guard lock(mutex);
    return std::any_of(logLines.begin(), logLines.end(),
                       [&](const auto& l) { return l.find(text) != std::string::npos; });
  }

  std::unique_ptr<ClaudeCodeSession> claude;
  fs::path untrusted;
  asio::thread_pool pool{2};
  asio::thread_pool own{1};
  std::shared_ptr<SessionRegistry> registry;
  std::shared_ptr<SessionDriver> driver;
  std::mutex mutex;
  std::vector<std::string> logLines;
  std::vector<std::pair<std::string, std::string>> openedWindows;
  std::shared_ptr<InjectedPrompts> injected = std::make_shared<InjectedPrompts>();
};

TEST_F(SessionStartE2E, StartsInATrustedProjectStopsAndResumes) {
  const auto listed = run(protocol::ListProjects{});
  ASSERT_EQ(listed.error, "");
  const auto& projects = std::get<protocol::Projects>(listed.result).projects;
  const auto proj = std::find_if(projects.begin(), projects.end(), [&](const auto& p) {
    return p.path == claude->projectDir().string();
  });
  ASSERT_NE(proj, projects.end()) << boost::json::serialize(
      std::get<protocol::Projects>(listed.result).toJson());
  EXPECT_TRUE(proj->trusted);

  claude->api().enqueue(Turn::text("Started from the phone."));
  const auto started = run(protocol::StartSession{
      .clientMsgID = "c1", .projectID = proj->projectID, .prompt = "hello from the phone"});
  ASSERT_EQ(started.error, "");
  const auto opened = std::get<protocol::SessionStarted>(started.result);
  EXPECT_EQ(opened.tmuxTarget.substr(0, 7), "parley:");
  EXPECT_NE(opened.attach.find("attach -t parley:"), std::string::npos);
  ASSERT_TRUE(claude->api().waitForMainRequests(1, 60s));
  EXPECT_EQ(claude->api().mainRequests().back().userText(), "hello from the phone");
  // Its turn is told as the phone's, by the pane it was typed into.
  EXPECT_TRUE(injected->take(InjectedPrompts::paneKey(opened.paneID), "hello from the phone"));
  EXPECT_TRUE(test::waitUntil(
      [&] { return screen(opened.paneID).find("Started from the phone.") != std::string::npos; },
      30s, 100ms));
  EXPECT_NE(std::find(windows().begin(), windows().end(), "parley:proj"), windows().end());
  EXPECT_TRUE(logged("started a session in proj from the phone"));
  // The desk reaches it with the command the phone was given: a second tmux
  // client, in a terminal of its own, shows the same pane.
  test::TmuxServer desk;
  const auto client =
      desk.newSession({.argv = {"/usr/bin/env", "-u", "TMUX", "/bin/sh", "-c", opened.attach}});
  EXPECT_TRUE(desk.waitForScreen(
      client.id,
      [](const std::string& s) { return s.find("Started from the phone.") != std::string::npos; },
      30s))
      << desk.capture(client.id);

  const auto session = sessionIn(opened.paneID);
  ASSERT_TRUE(session);
  const std::string historyID = session->descriptor.sessionID;
  // The desk tells it apart by the tmux socket and pane discovery found.
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(openedWindows, (std::vector<std::pair<std::string, std::string>>{
                                 {session->descriptor.socketPath, opened.paneID}}));
  }
  // Live: a resume opens it rather than starting it twice.
  const auto again = run(protocol::ResumeSession{.clientMsgID = "c2", .historyID = historyID});
  ASSERT_EQ(again.error, "");
  EXPECT_TRUE(std::get<protocol::SessionStarted>(again.result).alreadyLive);
  EXPECT_EQ(std::get<protocol::SessionStarted>(again.result).paneID, opened.paneID);

  // Plan and back from the phone, each read back from the footer and seen
  // by the next sweep; accept edits stays the desk's to allow.
  using protocol::PermissionMode;
  const auto modeIs = [&](PermissionMode mode) {
    return test::waitUntil(
        [&] {
          const auto s = sessionIn(opened.paneID);
          return s && s->descriptor.permissionMode == mode &&
                 s->descriptor.state != protocol::SessionState::busy;
        },
        30s, 200ms);
  };
  ASSERT_TRUE(modeIs(PermissionMode::default_)) << screen(opened.paneID);
  EXPECT_EQ(run(protocol::SetMode{.sessionID = historyID, .mode = PermissionMode::plan}).error, "");
  EXPECT_TRUE(modeIs(PermissionMode::plan)) << screen(opened.paneID);
  EXPECT_TRUE(run(protocol::SetMode{.sessionID = historyID, .mode = PermissionMode::acceptEdits})
                  .error.starts_with("accept edits lets Claude Code act"));
  EXPECT_EQ(run(protocol::SetMode{.sessionID = historyID, .mode = PermissionMode::default_}).error,
            "");
  EXPECT_TRUE(modeIs(PermissionMode::default_)) << screen(opened.paneID);

  const auto stopped = run(protocol::StopSession{.clientMsgID = "c3", .sessionID = historyID});
  ASSERT_EQ(stopped.error, "");
  EXPECT_FALSE(TmuxClient(TmuxClient::resolveExecutable(), claude->socketPath().string())
                   .paneExists(opened.paneID));
  EXPECT_TRUE(logged("stopped "));

  // Its history now lists it, and resuming brings its conversation back.
  const auto history = run(protocol::ListHistory{.projectID = proj->projectID});
  ASSERT_EQ(history.error, "");
  const auto& past = std::get<protocol::History>(history.result).sessions;
  ASSERT_FALSE(past.empty());
  EXPECT_EQ(past[0].historyID, historyID);
  EXPECT_EQ(past[0].turns, 1);
  EXPECT_EQ(past[0].firstPrompt, "hello from the phone");
  const auto resumed = run(protocol::ResumeSession{.clientMsgID = "c4", .historyID = historyID});
  ASSERT_EQ(resumed.error, "");
  const std::string pane = std::get<protocol::SessionStarted>(resumed.result).paneID;
  EXPECT_FALSE(std::get<protocol::SessionStarted>(resumed.result).alreadyLive);
  EXPECT_TRUE(test::waitUntil(
      [&] { return screen(pane).find("Started from the phone.") != std::string::npos; }, 60s,
      100ms))
      << screen(pane);
  EXPECT_TRUE(logged("resumed a session in proj from the phone"));
}

TEST_F(SessionStartE2E, RefusesUntrustedFoldersAndUnknownIdsOpeningNothing) {
  const auto before = windows();
  const auto untrustedStart = run(protocol::StartSession{
      .clientMsgID = "c1", .projectID = ProjectCatalog::projectID(untrusted), .prompt = "hi"});
  EXPECT_NE(untrustedStart.error.find("open it once at the desk"), std::string::npos)
      << untrustedStart.error;
  const auto untrustedResume = run(protocol::ResumeSession{
      .clientMsgID = "c2", .historyID = "99999999-0000-0000-0000-000000000001"});
  EXPECT_NE(untrustedResume.error.find("open it once at the desk"), std::string::npos);
  EXPECT_NE(run(protocol::StartSession{.clientMsgID = "c3", .projectID = "p0123"})
                .error.find("no such project"),
            std::string::npos);
  EXPECT_NE(run(protocol::ResumeSession{.clientMsgID = "c4", .historyID = "../x"})
                .error.find("no such past session"),
            std::string::npos);
  // A first prompt the phone may not send opens nothing either.
  const auto shell =
      run(protocol::StartSession{.clientMsgID = "c5",
                                 .projectID = ProjectCatalog::projectID(claude->projectDir()),
                                 .prompt = "!rm -rf ."});
  EXPECT_NE(shell.error, "");
  EXPECT_EQ(windows(), before);
}

}  // namespace
}  // namespace parley::terminal
