#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>

#include "support/test_support.hpp"
#include "terminal/claude_process_scanner.hpp"
#include "terminal/claude_session_store.hpp"
#include "terminal/supported_claude_versions.hpp"
#include "terminal/transcript_locator.hpp"
#include "terminal_fixtures.hpp"

namespace parley::terminal {
namespace {

namespace json = boost::json;
using Process = ClaudeProcessScanner::Process;
using terminal_test::FakeProcRoot;

TEST(ClaudeProcessScanner, FindsClaudeProcessesInTmuxFromASyntheticTable) {
  test::TempDir dir;
  const FakeProcRoot proc(dir.path());
  proc.add(300, "claude", {"A=1", "TMUX=/tmp/my dir/sock,77,0", "TMUX_PANE=%3"}, "/work/p");
  proc.add(20, "claude", {"TMUX_PANE=%1", "TMUX_PANE=%2"});              // later wins
  proc.add(100, "claude", {"TMUX=/tmp/s,1,0 with spaces", "XTMUX=no"});  // no pane
  proc.add(150, "claude", {"PATH=/bin", "TMUX_PANEL=%9", "TMUX_PANE"});  // outside tmux
  proc.add(160, "node", {"TMUX_PANE=%5", "TMUX=/tmp/s,1,0"});            // not claude by name
  proc.add(170, "claude-code", {"TMUX_PANE=%6"});
  std::filesystem::create_directories(dir / "self");
  std::filesystem::create_directories(dir / "12a");
  std::filesystem::create_directories(dir / "180");  // vanished: no comm, no environ
  proc.add(190, "claude", {});
  std::filesystem::remove(dir / "190" / "environ");  // unreadable environment

  const std::vector<Process> found = ClaudeProcessScanner(dir.path()).scan();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], (Process{20, "%2", std::nullopt, std::nullopt}));
  EXPECT_EQ(found[1], (Process{100, std::nullopt, "/tmp/s,1,0 with spaces", std::nullopt}));
  EXPECT_EQ(found[2], (Process{300, "%3", "/tmp/my dir/sock,77,0", "/work/p"}));

  // A single pid is read whatever its name: the registry's fallback for a
  // session file whose process the scan did not report.
  EXPECT_EQ(ClaudeProcessScanner(dir.path()).process(160),
            (Process{160, "%5", "/tmp/s,1,0", std::nullopt}));
  EXPECT_FALSE(ClaudeProcessScanner(dir.path()).process(150));
  EXPECT_FALSE(ClaudeProcessScanner(dir.path()).process(0));
  EXPECT_FALSE(ClaudeProcessScanner(dir.path()).process(-1));
  EXPECT_TRUE(ClaudeProcessScanner(dir / "missing").scan().empty());
}

TEST(ClaudeProcessScanner, ReadsTheRealProcessTable) {
  // A program whose name is "claude" (a link to sleep), started with an exact
  // environment: the Linux source yields the values whole.
  test::TempDir dir;
  std::filesystem::create_symlink("/bin/sleep", dir / "claude");
  terminal_test::Spawned claude({(dir / "claude").string(), "60"},
                                {{"TMUX", "/tmp/a b/sock,1,0"}, {"TMUX_PANE", "%42"}});
  terminal_test::Spawned other({"/bin/sleep", "60"}, {{"TMUX_PANE", "%43"}});
  std::vector<Process> found;
  ASSERT_TRUE(test::waitUntil([&] {
    found = ClaudeProcessScanner().scan();
    return std::any_of(found.begin(), found.end(),
                       [&](const Process& p) { return p.pid == claude.pid(); });
  }));
  for (const Process& p : found) {
    EXPECT_NE(p.pid, other.pid());
    if (p.pid == claude.pid()) {
      EXPECT_EQ(p.tmuxPane, "%42");
      EXPECT_EQ(p.tmuxEnv, "/tmp/a b/sock,1,0");
      EXPECT_EQ(p.cwd, std::filesystem::current_path().string());
    }
  }
  // The kernel fills in a new program's environment a moment after exec.
  std::optional<Process> single;
  ASSERT_TRUE(test::waitUntil(
      [&] { return (single = ClaudeProcessScanner().process(other.pid())).has_value(); }));
  EXPECT_EQ(single->tmuxPane, "%43");
}

json::object sessionJson(pid_t pid, const std::string& id, json::object extra = {}) {
  json::object o{{"pid", pid}, {"sessionId", id}, {"cwd", "/work/" + id}};
  for (auto& [k, v] : extra)
    o[k] = v;
  return o;
}

TEST(ClaudeSessionStore, ReturnsDecodableFilesOfLiveProcessesOnly) {
  test::TempDir home;
  const pid_t self = ::getpid();
  const pid_t dead = terminal_test::deadPid();
  terminal_test::writeSessionFile(home.path(), self,
                                  sessionJson(self, "live", {{"status", "Busy"}, {"x", 1}}));
  terminal_test::writeSessionFile(home.path(), dead, sessionJson(dead, "dead"));
  // Other directory entries that must not count.
  const auto sessions = home / ".claude" / "sessions";
  test::writeFile(sessions / "1.json.bak", json::serialize(sessionJson(self, "backup")));
  test::writeFile(sessions / "2.JSON", json::serialize(sessionJson(self, "upper")));
  test::writeFile(sessions / "3.json",
                  "{\"pid\": " + std::to_string(self) + ", \"sessionId\": \"nocwd\"}");
  test::writeFile(sessions / "4.json", "{\"pid\": \"" + std::to_string(self) +
                                           "\", \"sessionId\": \"s\", \"cwd\": \"/\"}");
  test::writeFile(sessions / "5.json",
                  "{\"pid\": " + std::to_string(self) +
                      ", \"sessionId\": \"s\", \"cwd\": \"/\", \"version\": 2}");
  test::writeFile(sessions / "6.json", "{\"pid\": 1, \"sessionId\":");
  test::writeFile(sessions / "7.json", "[]");
  // kill(0) and kill(-1) address process groups and always succeed: no proof
  // of any process.
  test::writeFile(sessions / "8.json", json::serialize(sessionJson(0, "pid-zero")));
  test::writeFile(sessions / "9.json", json::serialize(sessionJson(-1, "pid-minus-one")));
  test::writeFile(sessions / "10.json", json::serialize(sessionJson(INT_MAX, "pid-max")));
  std::filesystem::create_directories(sessions / "11.json");

  const auto files = ClaudeSessionStore::forHome(home.path()).all();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].sessionId, "live");
  EXPECT_EQ(files[0].cwd, "/work/live");
  EXPECT_EQ(files[0].state(), SessionStatusReading::unknown);  // "Busy" is not "busy"
  EXPECT_TRUE(std::filesystem::exists(sessions / (std::to_string(dead) + ".json")));
  EXPECT_TRUE(ClaudeSessionStore(home / "missing").all().empty());
}

TEST(ClaudeSessionStore, AProcessOfAnotherUserCountsAsAlive) {
  // Run the store as an unprivileged user against pid 1 (root's): signal 0
  // is refused with EPERM, which still proves the process exists.
  test::TempDir home;
  terminal_test::writeSessionFile(home.path(), 1, sessionJson(1, "init"));
  std::filesystem::permissions(home.path(), std::filesystem::perms::all);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(100);
    if (::kill(1, 0) == 0)
      ::_exit(101);  // could signal pid 1: the case cannot be shown here
    const auto files = ClaudeSessionStore::forHome(home.path()).all();
    ::_exit(files.size() == 1 && files[0].sessionId == "init" ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100 || WEXITSTATUS(status) == 101)
    GTEST_SKIP() << "cannot become a user that is refused signals to pid 1";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ClaudeSessionFile, DecodesTheRealFileAndReadsStatusExactly) {
  const auto file = ClaudeSessionFile::fromJson(protocol::parseJson(
      test::readFile(test::fixturePath("claude-code-2.1.222/session-file.json"))));
  EXPECT_EQ(file.pid, 3081);
  EXPECT_EQ(file.sessionId, "e51c2d5c-552c-4b96-9fc0-be18862b135c");
  EXPECT_EQ(file.cwd, "/home/dev/proj");
  EXPECT_EQ(file.version, "2.1.222");
  EXPECT_EQ(file.name, "proj-6b");
  EXPECT_EQ(file.kind, "interactive");
  EXPECT_EQ(file.startedAt, 1796541687992.0);
  EXPECT_EQ(file.state(), SessionStatusReading::idle);
  // Encoding keeps the known keys and drops the rest (procStart, peerProtocol).
  const auto again = ClaudeSessionFile::fromJson(file.toJson());
  EXPECT_EQ(again, file);
  EXPECT_FALSE(file.toJson().contains("procStart"));

  ClaudeSessionFile f = file;
  for (auto [status, reading] :
       std::vector<std::pair<std::optional<std::string>, SessionStatusReading>>{
           {"busy", SessionStatusReading::busy},
           {"waiting", SessionStatusReading::waiting},
           {"idle ", SessionStatusReading::unknown},
           {std::nullopt, SessionStatusReading::unknown}}) {
    f.status = status;
    EXPECT_EQ(f.state(), reading) << status.value_or("(absent)");
  }
  // null is absent, not a type error.
  EXPECT_FALSE(ClaudeSessionFile::fromJson(
                   protocol::parseJson(R"({"pid": 1, "sessionId": "s", "cwd": "/", "name": null})"))
                   .name);
}

TEST(TranscriptLocator, SearchesEveryProjectInListingOrder) {
  test::TempDir home;
  const auto projects = home / ".claude" / "projects";
  test::writeFile(projects / "a" / "S.jsonl", "{}\n");
  test::writeFile(projects / "b" / "S.jsonl", "{}\n");
  test::writeFile(projects / "b" / "T.jsonl", "{}\n");
  std::filesystem::create_directories(projects / "c" / "D.jsonl");  // a directory, not a file
  test::writeFile(projects / "x.jsonl", "{}\n");
  const auto locator = TranscriptLocator::forHome(home.path());

  std::filesystem::path firstListed;
  for (const auto& entry : std::filesystem::directory_iterator(projects)) {
    if (std::filesystem::exists(entry.path() / "S.jsonl")) {
      firstListed = entry.path() / "S.jsonl";
      break;
    }
  }
  EXPECT_EQ(locator.transcript("S"), firstListed);
  EXPECT_EQ(locator.transcript("T"), projects / "b" / "T.jsonl");
  EXPECT_FALSE(locator.transcript("U"));
  EXPECT_FALSE(locator.transcript("D"));
  // An id that climbs out of the project directory finds nothing, although
  // projects/<any>/../x.jsonl exists.
  EXPECT_FALSE(locator.transcript("../x"));
  EXPECT_FALSE(locator.transcript(""));
  EXPECT_FALSE(TranscriptLocator(home / "missing").transcript("S"));
}

TEST(SupportedClaudeVersions, OnlyTheTestedVersionsExactly) {
  EXPECT_TRUE(SupportedClaudeVersions::isSupported(std::optional<std::string>("2.1.222")));
  EXPECT_TRUE(SupportedClaudeVersions::isSupported("2.1.220"));
  EXPECT_FALSE(SupportedClaudeVersions::isSupported(std::optional<std::string>()));
  EXPECT_FALSE(SupportedClaudeVersions::isSupported("2.1.223"));
  EXPECT_FALSE(SupportedClaudeVersions::isSupported("2.1.222 "));
  EXPECT_FALSE(SupportedClaudeVersions::isSupported(""));
}

}  // namespace
}  // namespace parley::terminal
