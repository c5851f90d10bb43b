#include "terminal/session_registry.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <thread>

#include "support/test_support.hpp"
#include "terminal_fixtures.hpp"
#include "tmux_server.hpp"

namespace parley::terminal {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using protocol::HookPayload;
using protocol::PermissionMode;
using protocol::SessionState;
using terminal_test::FakeProcRoot;
using test::TmuxServer;

HookPayload hook(HookPayload::Event event, std::optional<std::string> session) {
  HookPayload h(event);
  h.sessionID = std::move(session);
  return h;
}

std::vector<std::string> idsOf(const std::vector<RegisteredSession>& sessions) {
  std::vector<std::string> out;
  for (const auto& s : sessions)
    out.push_back(s.id());
  return out;
}

TEST(SessionTable, SessionsNoSweepConfirmsAreCappedAndForgottenOnceTheirLastEventIsOld) {
  using namespace std::chrono_literals;
  test::TempDir home;
  test::TempDir procDir;
  SessionTable table(SessionSources::forHome(home.path(), procDir.path()),
                     {.unconfirmedLifetime = 10min, .maxUnconfirmed = 3});
  const protocol::Date t0 = std::chrono::system_clock::from_time_t(1'800'000'000);
  for (int i = 0; i < 5; ++i)
    table.apply(hook(HookPayload::Event::stop, "U" + std::to_string(i)), t0 + 1s * i);
  // Past the cap the session with the oldest event goes.
  EXPECT_EQ(idsOf(table.all()), (std::vector<std::string>{"U2", "U3", "U4"}));
  table.apply(hook(HookPayload::Event::stop, "U2"), t0 + 9min);
  EXPECT_EQ(table.sweep(t0 + 5min).size(), 3u);
  // U3's last event is older than the bound, U4's exactly that old.
  EXPECT_EQ(idsOf(table.sweep(t0 + 10min + 4s)), (std::vector<std::string>{"U2", "U4"}));
  EXPECT_FALSE(table.paneBindings().contains("U3"));
}

class Registry : public ::testing::Test {
 protected:
  using Sessions = SessionRegistry::Sessions;

  // A "Claude Code process": the pane's own process, entered in the
  // synthetic process table as a claude process of that pane and server.
  TmuxServer::Pane claudePane(const std::string& sessionName, bool withPaneVariable = true) {
    auto pane =
        tmux.newSession({.argv = {"/bin/cat"}, .cwd = home.path(), .sessionName = sessionName});
    std::vector<std::string> environ{"TMUX=" + terminal_test::tmuxEnvFor(tmux.socketPath())};
    if (withPaneVariable)
      environ.push_back("TMUX_PANE=" + pane.id);
    proc.add(pane.pid, "claude", environ, home.path());
    return pane;
  }

  void sessionFile(const TmuxServer::Pane& pane, const std::string& id, json::object extra = {}) {
    json::object o{{"pid", pane.pid}, {"sessionId", id}, {"cwd", "/src/" + id}};
    for (auto& [k, v] : extra)
      o[k] = v;
    terminal_test::writeSessionFile(home.path(), pane.pid, o);
  }

  Sessions sweep() { return registry.sweep(now, asio::use_future).get(); }
  std::optional<RegisteredSession> apply(HookPayload h) {
    return registry.apply(std::move(h), asio::use_future).get();
  }
  std::optional<RegisteredSession> session(const std::string& id) {
    return registry.session(id, asio::use_future).get();
  }

  // The registry stamps hooks with the real clock; refreshes must agree with
  // it, or every hook-only session would look long idle and be forgotten.
  const protocol::Date now = std::chrono::system_clock::now();
  TmuxServer tmux;
  test::TempDir home;
  test::TempDir procDir;
  FakeProcRoot proc{procDir.path()};
  asio::thread_pool pool{2};
  SessionRegistry registry{pool.get_executor(),
                           SessionSources::forHome(home.path(), procDir.path())};
};

TEST_F(Registry, HooksBeforeTheFirstRefreshCreateAnnounceOnlySessions) {
  HookPayload start = hook(HookPayload::Event::preToolUse, "S");
  start.tmuxPane = "%5";
  start.tmuxEnv = "/tmp/tmux-1000/default,4208,0";
  start.cwd = "/src/app";
  start.model = "claude-opus-5";
  start.permissionMode = PermissionMode::acceptEdits;
  start.transcriptPath = "/home/me/.claude/projects/p/S.jsonl";
  const auto before = std::chrono::system_clock::now();
  const auto created = apply(start);
  ASSERT_TRUE(created);
  const auto& d = created->descriptor;
  EXPECT_EQ(d.sessionID, "S");
  EXPECT_EQ(d.paneID, "%5");
  EXPECT_EQ(d.socketPath, "/tmp/tmux-1000/default");
  EXPECT_EQ(d.tmuxSession, "");
  EXPECT_EQ(d.pid, 0);
  EXPECT_EQ(d.cwd, "/src/app");
  EXPECT_EQ(d.model, "claude-opus-5");
  EXPECT_EQ(d.permissionMode, PermissionMode::acceptEdits);
  EXPECT_EQ(d.state, SessionState::busy);
  EXPECT_EQ(d.transcriptPath, "/home/me/.claude/projects/p/S.jsonl");
  EXPECT_FALSE(d.claudeVersion);
  EXPECT_GE(d.lastActivity, before);
  EXPECT_FALSE(created->isVersionSupported);
  EXPECT_TRUE(created->announceOnly());
  EXPECT_EQ(d.announceOnly, "Claude Code's version is not known yet");

  // A notification that is not a permission prompt changes no state.
  HookPayload note = hook(HookPayload::Event::notification, "S");
  note.notificationType = "idle_prompt";
  EXPECT_EQ(apply(note)->descriptor.state, SessionState::busy);
  note.notificationType = "permission_prompt";
  EXPECT_EQ(apply(note)->descriptor.state, SessionState::waiting);
  EXPECT_EQ(apply(hook(HookPayload::Event::postToolUseFailure, "S"))->descriptor.state,
            SessionState::waiting);
  EXPECT_EQ(apply(hook(HookPayload::Event::stop, "S"))->descriptor.state, SessionState::idle);
  HookPayload bypass = hook(HookPayload::Event::userPromptSubmit, "S");
  bypass.permissionMode = PermissionMode::bypassPermissions;
  const auto unsafe = apply(bypass);
  EXPECT_EQ(unsafe->descriptor.state, SessionState::busy);
  EXPECT_TRUE(unsafe->isUnsafeForVoice());
  EXPECT_TRUE(unsafe->descriptor.announceOnly);
  // Fields the hook does not carry stay.
  EXPECT_EQ(unsafe->descriptor.paneID, "%5");
  EXPECT_EQ(unsafe->descriptor.model, "claude-opus-5");
  EXPECT_EQ(apply(hook(HookPayload::Event::sessionEnd, "S"))->descriptor.state,
            SessionState::ended);

  // Without a session id nothing changes; an empty id names no session either.
  HookPayload anonymous = hook(HookPayload::Event::stop, std::nullopt);
  anonymous.tmuxPane = "%9";
  EXPECT_FALSE(apply(anonymous));
  EXPECT_FALSE(apply(hook(HookPayload::Event::stop, "")));
  EXPECT_EQ(registry.all(asio::use_future).get().size(), 1u);
  EXPECT_FALSE(registry.sessionForPane("%9", asio::use_future).get());
}

TEST_F(Registry, EveryRealHookOfAClaudeCodeRunApplies) {
  std::size_t applied = 0;
  std::optional<RegisteredSession> last;
  for (const std::string& line :
       test::readLines(test::fixturePath("claude-code-2.1.222/hooks.ndjson"))) {
    if (auto r = apply(HookPayload::decode(line))) {
      ++applied;
      last = r;
    }
  }
  EXPECT_EQ(applied, 30u);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->descriptor.paneID, "%0");
  EXPECT_EQ(last->descriptor.socketPath, "/tmp/tmux-1000/default");
  EXPECT_EQ(last->descriptor.model, "claude-opus-5[1m]");
}

TEST_F(Registry, ARefreshReconcilesProcessesSessionFilesAndPanes) {
  const auto a = claudePane("alpha");
  const auto b = claudePane("beta");
  sessionFile(a, "B-session",
              {{"version", "2.1.222"},
               {"name", "api work"},
               {"status", "waiting"},
               {"waitingFor", "approve Bash"}});
  sessionFile(b, "A-session", {{"version", "2.1.219"}, {"status", "busy"}});
  test::writeFile(home / ".claude" / "projects" / "-src-B" / "B-session.jsonl", "{}\n");
  // A session file whose process runs outside tmux is no candidate.
  terminal_test::Spawned outside({"/bin/sleep", "60"});
  proc.add(outside.pid(), "claude", {"PATH=/bin"});
  terminal_test::writeSessionFile(home.path(), outside.pid(),
                                  {{"pid", outside.pid()}, {"sessionId", "C"}, {"cwd", "/"}});

  const Sessions all = sweep();
  ASSERT_EQ(all.size(), 2u);
  // Ordered by session id, not by pid or activity.
  EXPECT_EQ(all[0].id(), "A-session");
  EXPECT_EQ(all[1].id(), "B-session");
  const auto& d = all[1].descriptor;
  EXPECT_EQ(d.paneID, a.id);
  EXPECT_EQ(d.socketPath, tmux.socketPath().string());
  EXPECT_EQ(d.tmuxSession, "alpha");
  EXPECT_EQ(d.pid, a.pid);
  EXPECT_EQ(d.cwd, "/src/B-session");
  EXPECT_EQ(d.displayName, "api work");
  EXPECT_EQ(d.claudeVersion, "2.1.222");
  EXPECT_EQ(d.state, SessionState::waiting);
  EXPECT_EQ(d.waitingFor, "approve Bash");
  EXPECT_EQ(d.transcriptPath,
            (home / ".claude" / "projects" / "-src-B" / "B-session.jsonl").string());
  EXPECT_EQ(d.permissionMode, PermissionMode::default_);
  EXPECT_EQ(d.lastActivity, now);
  EXPECT_TRUE(all[1].isVersionSupported);
  EXPECT_TRUE(all[1].mayInject());
  EXPECT_FALSE(all[1].descriptor.announceOnly);  // the wire says so too
  EXPECT_EQ(all[0].descriptor.tmuxSession, "beta");
  EXPECT_EQ(all[0].descriptor.state, SessionState::busy);
  EXPECT_FALSE(all[0].isVersionSupported);  // 2.1.219 is not a tested version
  EXPECT_EQ(all[0].descriptor.announceOnly, "Claude Code 2.1.219 is a version Parley cannot drive");

  // The next refresh: a status the registry does not know leaves the state;
  // an absent "waitingFor" or "version" clears them; a hook's permission
  // mode survives refreshes.
  HookPayload mode = hook(HookPayload::Event::postToolUse, "B-session");
  mode.permissionMode = PermissionMode::plan;
  apply(mode);
  sessionFile(a, "B-session", {{"status", "Busy"}});
  const auto again = session("B-session");
  EXPECT_EQ(again->descriptor.state, SessionState::busy);  // from the hook
  sweep();
  const auto refreshed = session("B-session");
  EXPECT_EQ(refreshed->descriptor.state, SessionState::busy);
  EXPECT_FALSE(refreshed->descriptor.waitingFor);
  EXPECT_FALSE(refreshed->descriptor.claudeVersion);
  EXPECT_FALSE(refreshed->isVersionSupported);
  EXPECT_EQ(refreshed->descriptor.displayName, "api work");  // kept when "name" is gone
  EXPECT_EQ(refreshed->descriptor.permissionMode, PermissionMode::plan);
  EXPECT_EQ(refreshed->descriptor.announceOnly, "Claude Code's version is not known yet");
}

TEST_F(Registry, ARefreshEndsVanishedSessionsAndALaterOneRevivesThem) {
  const auto a = claudePane("a");
  const auto b = claudePane("b");
  const auto c = claudePane("c");
  sessionFile(a, "A", {{"status", "idle"}, {"version", "2.1.222"}});
  sessionFile(b, "B", {{"status", "busy"}});
  sessionFile(c, "C", {{"status", "busy"}});
  ASSERT_EQ(sweep().size(), 3u);

  // B's file disappears; C's process leaves tmux (its environment no longer
  // names it): both end, A stays.
  terminal_test::removeSessionFile(home.path(), b.pid);
  proc.add(c.pid, "claude", {"PATH=/bin"});
  const Sessions afterLoss = sweep();
  ASSERT_EQ(afterLoss.size(), 3u);
  EXPECT_EQ(afterLoss[0].descriptor.state, SessionState::idle);
  EXPECT_EQ(afterLoss[1].descriptor.state, SessionState::ended);
  EXPECT_EQ(afterLoss[2].descriptor.state, SessionState::ended);
  EXPECT_EQ(afterLoss[1].descriptor.lastActivity, now);  // left as it was

  // An unknown status does not revive an ended session; a known one does.
  sessionFile(b, "B", {{"status", "thinking"}});
  EXPECT_EQ(sweep()[1].descriptor.state, SessionState::ended);
  sessionFile(b, "B", {{"status", "waiting"}});
  EXPECT_EQ(sweep()[1].descriptor.state, SessionState::waiting);

  // A dead process ends its session too, and prune forgets ended sessions.
  tmux.tmux({"kill-session", "-t", "a"});
  ASSERT_TRUE(test::waitUntil([&] { return !ClaudeSessionStore::isAlive(a.pid); }));
  sweep();
  registry.prune(asio::use_future).get();
  const Sessions left = registry.all(asio::use_future).get();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].id(), "B");
}

TEST_F(Registry, ARefreshDoesNotEndASessionWhoseClaudeCodeHasNotWrittenItsFileYet) {
  // Claude Code runs its SessionStart hooks about when it writes its
  // session file, at times before: a refresh then finds its process but no
  // file.
  auto started = [&](const std::string& id, const std::string& paneID,
                     const std::filesystem::path& socket) {
    HookPayload h = hook(HookPayload::Event::sessionStart, id);
    h.tmuxPane = paneID;
    h.tmuxEnv = terminal_test::tmuxEnvFor(socket);
    apply(std::move(h));
  };
  auto stateOf = [&](const std::string& id) { return session(id)->descriptor.state; };
  const auto starting = claudePane("starting");
  started("S", starting.id, tmux.socketPath());
  // Not spared: a pane with no Claude Code in it, the same pane id on
  // another server, a pane whose Claude Code's file names another session.
  started("Gone", "%999", tmux.socketPath());
  TmuxServer other;
  started("Elsewhere", starting.id, other.socketPath());
  const auto cleared = claudePane("cleared");
  sessionFile(cleared, "New");
  started("Old", cleared.id, tmux.socketPath());

  sweep();
  EXPECT_EQ(stateOf("S"), SessionState::idle);
  EXPECT_FALSE(session("S")->descriptor.claudeVersion);
  EXPECT_EQ(stateOf("Gone"), SessionState::ended);
  EXPECT_EQ(stateOf("Elsewhere"), SessionState::ended);
  EXPECT_EQ(stateOf("Old"), SessionState::ended);
  EXPECT_EQ(stateOf("New"), SessionState::idle);

  // The file, once written, confirms it; once confirmed, a file that goes
  // while the process stays ends it as any other.
  sessionFile(starting, "S", {{"version", "2.1.222"}});
  sweep();
  EXPECT_TRUE(session("S")->mayInject());
  terminal_test::removeSessionFile(home.path(), starting.pid);
  sweep();
  EXPECT_EQ(stateOf("S"), SessionState::ended);
}

TEST_F(Registry, PaneBindingsOutliveScansThatCannotTellThePane) {
  // The process carries TMUX but not TMUX_PANE; a hook told us the pane.
  const auto pane = claudePane("bound", /*withPaneVariable=*/false);
  HookPayload start = hook(HookPayload::Event::sessionStart, "S");
  start.tmuxPane = pane.id;
  apply(start);
  sessionFile(pane, "S", {{"version", "2.1.222"}});
  const auto s = sweep();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].descriptor.paneID, pane.id);
  EXPECT_EQ(s[0].descriptor.tmuxSession, "bound");
  EXPECT_TRUE(s[0].isVersionSupported);
  EXPECT_EQ(registry.sessionForPane(pane.id, asio::use_future).get()->id(), "S");

  // A session file whose process the scan misses (its name is not "claude")
  // is still found through its own pid, with the tmux session of a server
  // that no scanned process named.
  TmuxServer other;
  auto foreign = other.newSession({.argv = {"/bin/cat"}, .sessionName = "elsewhere"});
  proc.add(foreign.pid, "node",
           {"TMUX=" + terminal_test::tmuxEnvFor(other.socketPath()), "TMUX_PANE=" + foreign.id});
  terminal_test::writeSessionFile(home.path(), foreign.pid,
                                  {{"pid", foreign.pid}, {"sessionId", "T"}, {"cwd", "/"}});
  const auto t = sweep()[1];
  EXPECT_EQ(t.id(), "T");
  EXPECT_EQ(t.descriptor.socketPath, other.socketPath().string());
  EXPECT_EQ(t.descriptor.tmuxSession, "elsewhere");

  // insert records the binding as well.
  RegisteredSession manual;
  manual.descriptor.sessionID = "M";
  manual.descriptor.paneID = "%77";
  registry.insert(manual, asio::use_future).get();
  EXPECT_EQ(registry.sessionForPane("%77", asio::use_future).get()->id(), "M");
}

TEST_F(Registry, AHookIsAppliedAndListedInOneCallRefreshingWhenAsked) {
  const auto pane = claudePane("one");
  sessionFile(pane, "S", {{"version", "2.1.222"}});
  using Applied = SessionRegistry::HookApplied;
  auto applyHook = [&](HookPayload h, bool refresh) {
    return registry
        .applyHook(
            std::move(h), [refresh](const RegisteredSession&) { return refresh; }, true,
            asio::use_future)
        .get();
  };
  // Without a session id: nothing applied, nothing listed, no refresh asked.
  const Applied none =
      registry
          .applyHook(
              hook(HookPayload::Event::stop, std::nullopt),
              [](const RegisteredSession&) -> bool { throw std::logic_error("asked"); }, true,
              asio::use_future)
          .get();
  EXPECT_FALSE(none.session);
  EXPECT_FALSE(none.all);
  // The hook's session before any refresh has no version; the list is the
  // table as it stands.
  const Applied listed = applyHook(hook(HookPayload::Event::sessionStart, "S"), false);
  ASSERT_TRUE(listed.session);
  EXPECT_FALSE(listed.session->descriptor.claudeVersion);
  ASSERT_EQ(listed.all->size(), 1u);
  EXPECT_FALSE(listed.all->at(0).isVersionSupported);
  // With a refresh first, the list carries what the refresh found.
  const Applied refreshed = applyHook(hook(HookPayload::Event::stop, "S"), true);
  ASSERT_EQ(refreshed.all->size(), 1u);
  EXPECT_EQ(refreshed.all->at(0).descriptor.claudeVersion, "2.1.222");
  EXPECT_TRUE(refreshed.all->at(0).mayInject());
}

TEST_F(Registry, WorkRunsOnTheStrandAndResultsOnTheCallersExecutor) {
  // The pane lister (called during a refresh) records where it runs.
  std::atomic<std::thread::id> listedOn{};
  SessionSources sources = SessionSources::forHome(home.path(), procDir.path());
  sources.paneLister = [&](const std::string& socket) {
    listedOn = std::this_thread::get_id();
    return SessionSources::defaultPaneLister()(socket);
  };
  SessionRegistry own(pool.get_executor(), std::move(sources));
  const auto pane = claudePane("main");
  sessionFile(pane, "S");

  // The application model's shape: its own io_context on "the main thread".
  asio::io_context mainContext;
  std::thread::id deliveredOn{};
  std::size_t count = 0;
  own.sweep(now, asio::bind_executor(mainContext, [&](SessionRegistry::Sessions all) {
              deliveredOn = std::this_thread::get_id();
              count = all.size();
            }));
  mainContext.run();
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());
  EXPECT_NE(listedOn.load(), std::this_thread::get_id());

  // The session driver's shape: a coroutine on a strand of its own.
  auto driverStrand = asio::make_strand(pool.get_executor());
  auto found = asio::co_spawn(
      driverStrand,
      [&]() -> asio::awaitable<std::optional<std::string>> {
        const auto s = co_await own.session("S", asio::use_awaitable);
        // Back on the driver's strand after the await.
        EXPECT_TRUE(driverStrand.running_in_this_thread());
        co_return s ? std::optional<std::string>(s->descriptor.paneID) : std::nullopt;
      },
      asio::use_future);
  EXPECT_EQ(found.get(), pane.id);
}

TEST_F(Registry, ConcurrentCallersNeverInterleave) {
  const auto pane = claudePane("busy");
  sessionFile(pane, "S", {{"version", "2.1.222"}});
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        // Appended, not prepended: GCC 12 at -O2 misreads "x" + std::to_string(n)
        // as an overlapping copy (-Wrestrict).
        HookPayload h =
            hook(HookPayload::Event::preToolUse, std::string("H").append(std::to_string(t)));
        h.tmuxPane = std::string("%").append(std::to_string(100 + t));
        registry.apply(h, asio::use_future).get();
        if (i % 10 == 0)
          registry.sweep(now, asio::use_future).get();
      }
    });
  }
  for (auto& c : callers)
    c.join();
  const auto all = registry.all(asio::use_future).get();
  ASSERT_EQ(all.size(), 5u);
  for (int t = 0; t < 4; ++t) {
    // Hook-only sessions have no session file: a refresh ends them, a later
    // hook revives them to busy.
    EXPECT_EQ(all[t].descriptor.paneID, "%" + std::to_string(100 + t));
  }
  EXPECT_EQ(all[4].id(), "S");
  EXPECT_EQ(all[4].descriptor.state, SessionState::idle);
}

TEST_F(Registry, OperationsStillCompleteAfterTheRegistryIsGone) {
  std::promise<std::size_t> done;
  {
    SessionRegistry shortLived(pool.get_executor(),
                               SessionSources::forHome(home.path(), procDir.path()));
    shortLived.apply(hook(HookPayload::Event::stop, "S"), [](auto) {});
    shortLived.all([&](SessionRegistry::Sessions all) { done.set_value(all.size()); });
  }
  EXPECT_EQ(done.get_future().get(), 1u);
}

}  // namespace
}  // namespace parley::terminal
