// The private tmux server, against the real tmux.
#include "tmux_server.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include "test_support.hpp"

namespace parley::test {
namespace {

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// A pane running `sh -c script`: the shell is the program under test here,
// not a way of starting it.
TmuxServer::Pane shellPane(TmuxServer& tmux, const std::string& script,
                           std::map<std::string, std::string> env = {},
                           std::filesystem::path cwd = {}) {
  TmuxServer::PaneSpec paneSpec;
  paneSpec.argv = {"sh", "-c", script};
  paneSpec.env = std::move(env);
  paneSpec.cwd = std::move(cwd);
  return tmux.newSession(paneSpec);
}

// The runner itself is tested with parley::base; here, what the test
// wrapper adds: a PATH lookup for bare names and exactly the given
// environment.
TEST(RunProcess, LooksBareNamesUpOnPathAndPassesExactlyTheGivenEnvironment) {
  const std::map<std::string, std::string> env{{"GREETING", "hi"}};
  ProcessResult r = runProcess({"sh", "-c", "echo \"$GREETING\" \"${HOME-unset}\"; exit 3"}, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "hi unset\n");
  r = runProcess({"cat"}, env, "fed");
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.out, "fed");
  EXPECT_THROW(runProcess({"/nonexistent/program"}, env), std::runtime_error);
  EXPECT_THROW(runProcess({"parley-no-such-program"}, env), std::runtime_error);
  EXPECT_THROW(runProcess({}, env), std::invalid_argument);
}

TEST(TmuxServer, RunsTheArgumentVectorAsIsWithItsEnvironmentDirectoryAndSize) {
  TmuxServer tmux;
  TempDir dir;
  TmuxServer::PaneSpec paneSpec;
  // Shell syntax in the arguments must reach the program untouched.
  paneSpec.argv = {
      "sh", "-c", "printf '[%s]' \"$1\" \"$PARLEY_X\" \"$PWD\" \"$TMUX_PANE\"; stty size; exec cat",
      "sh", "$HOME; echo pwned"};
  paneSpec.env = {{"PARLEY_X", "a value with spaces"}};
  paneSpec.cwd = dir.path();
  paneSpec.width = 90;
  paneSpec.height = 30;
  const TmuxServer::Pane pane = tmux.newSession(paneSpec);
  ASSERT_EQ(pane.id.front(), '%');

  std::string screen;
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "30 90"); }, std::chrono::seconds(10),
      &screen))
      << screen;
  EXPECT_TRUE(contains(screen, "[$HOME; echo pwned][a value with spaces][" + dir.path().string() +
                                   "][" + pane.id + "]"))
      << screen;
  EXPECT_FALSE(contains(screen, "\npwned"));
  // The pane's pid is the program itself (exec'd into cat by now).
  EXPECT_TRUE(waitUntil(
      [&] { return readFile("/proc/" + std::to_string(pane.pid) + "/comm") == "cat\n"; }));
  EXPECT_TRUE(tmux.paneAlive(pane.id));
}

TEST(TmuxServer, TypesKeysAndLiteralTextIntoThePane) {
  TmuxServer tmux;
  const auto pane = shellPane(tmux, "exec cat");
  // Key names are keys; with -l the same words are text.
  tmux.sendLiteral(pane.id, "Enter C-c ünïcödé");
  tmux.sendKeys(pane.id, {"Enter"});
  std::string screen;
  EXPECT_TRUE(tmux.waitForScreen(
      pane.id,
      [](const std::string& s) { return contains(s, "Enter C-c ünïcödé\nEnter C-c ünïcödé\n"); },
      std::chrono::seconds(10), &screen))
      << screen;
  tmux.sendKeys(pane.id, {"C-d"});
  EXPECT_TRUE(waitUntil([&] { return !tmux.paneAlive(pane.id); }));
}

TEST(TmuxServer, PastesAsOneBracketedPasteWhenTheProgramAsksForIt) {
  TmuxServer tmux;
  // The program turns bracketed paste on, then shows every byte it gets.
  const auto pane =
      shellPane(tmux, "printf '\\033[?2004h'; stty raw -echo; echo ready; exec cat -v");
  std::string screen;
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "ready"); }, std::chrono::seconds(10),
      &screen));
  tmux.paste(pane.id, "first line\nsecond line");
  EXPECT_TRUE(tmux.waitForScreen(
      pane.id,
      [](const std::string& s) { return contains(s, "^[[200~first line^Msecond line^[[201~"); },
      std::chrono::seconds(10), &screen))
      << screen;
  // The named buffer went with the paste.
  EXPECT_EQ(tmux.tmux({"list-buffers"}).out, "");
}

TEST(TmuxServer, PastesPlainTextWhenBracketedPasteIsOff) {
  TmuxServer tmux;
  const auto pane = shellPane(tmux, "stty raw -echo; echo ready; exec cat -v");
  std::string screen;
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "ready"); }, std::chrono::seconds(10),
      &screen));
  tmux.paste(pane.id, "plain");
  EXPECT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "plain"); }, std::chrono::seconds(10),
      &screen));
  EXPECT_FALSE(contains(screen, "200~")) << screen;
}

TEST(TmuxServer, CapturesWithAndWithoutEscapes) {
  TmuxServer tmux;
  const auto pane = shellPane(tmux, "printf 'a \\033[2mdim\\033[0m b\\n'; exec cat");
  std::string screen;
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "a dim b"); },
      std::chrono::seconds(10), &screen));
  EXPECT_FALSE(contains(screen, "\x1b"));
  const std::string escaped = tmux.capture(pane.id, true);
  EXPECT_TRUE(contains(escaped, "a \x1b[2mdim\x1b[0m")) << escaped;
  EXPECT_EQ(tmux.capture("%999"), "");
}

TEST(TmuxServer, AnExitedProgramLeavesADeadPaneWithItsLastScreen) {
  TmuxServer tmux;
  const auto keep = shellPane(tmux, "exec cat");
  // tmux may drop what a program writes in the instant before it exits, so
  // the program waits for a key after its last words. tmux's own "Pane is
  // dead" line scrolls the screen up by one row.
  const auto pane = shellPane(tmux, "echo first; echo last words; read line; exit 7");
  EXPECT_NE(keep.session, pane.session);
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return contains(s, "last words"); },
      std::chrono::seconds(10)));
  EXPECT_TRUE(tmux.paneAlive(pane.id));
  tmux.sendKeys(pane.id, {"Enter"});
  EXPECT_TRUE(waitUntil([&] { return !tmux.paneAlive(pane.id); }));
  EXPECT_TRUE(contains(tmux.capture(pane.id), "last words")) << tmux.capture(pane.id);
  EXPECT_TRUE(tmux.paneAlive(keep.id));
  EXPECT_FALSE(tmux.paneAlive("%999"));
}

TEST(TmuxServer, DestructionKillsTheServerAndItsPrograms) {
  std::filesystem::path socket;
  pid_t pid = -1;
  {
    TmuxServer tmux;
    socket = tmux.socketPath();
    pid = shellPane(tmux, "exec sleep 600").pid;
    ASSERT_TRUE(std::filesystem::exists(socket));
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(socket.parent_path()));
  EXPECT_TRUE(waitUntil([&] { return ::kill(pid, 0) != 0; }));
}

TEST(TmuxServer, ShortSocketPathInAFreshDirectory) {
  TmuxServer a;
  TmuxServer b;
  EXPECT_NE(a.socketPath(), b.socketPath());
  // Far below the 107 bytes a Unix socket path may have on Linux.
  EXPECT_LT(a.socketPath().string().size(), 64u);
  // No server until the first session.
  EXPECT_FALSE(a.tmux({"list-sessions"}).ok());
}

}  // namespace
}  // namespace parley::test
