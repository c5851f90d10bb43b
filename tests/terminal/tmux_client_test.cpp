#include "terminal/tmux_client.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "terminal/ansi_text.hpp"
#include "terminal_fixtures.hpp"
#include "text/unicode.hpp"
#include "tmux_server.hpp"

namespace parley::terminal {
namespace {

using test::TmuxServer;
using namespace std::chrono_literals;

std::string paneLine(std::vector<std::string> fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i)
    line += (i ? "\x01" : "") + fields[i];
  return line;
}

TEST(TmuxPaneLine, ParsesElevenFieldsToleratingBadNumbersAndSkipsOtherCounts) {
  using Pane = TmuxClient::PaneInfo;
  EXPECT_EQ(TmuxClient::parsePaneLine(paneLine({"%3", "work", "+1", "-2", "4242", "/home/me/src",
                                                "claude", "✳ title", "", "45", "0"})),
            (Pane{"%3", "work", 1, -2, 4242, "/home/me/src", "claude", "✳ title", 0, 45, false}));
  // pid overflow and junk read as 0; the line is still accepted.
  EXPECT_EQ(TmuxClient::parsePaneLine(
                paneLine({"%4", "", "x", "1", "99999999999", "", "", "", "80", "24", "1"})),
            (Pane{"%4", "", 0, 1, 0, "", "", "", 80, 24, true}));
  EXPECT_TRUE(
      TmuxClient::parsePaneLine(paneLine({"%4", "", "0", "1", "1", "", "", "", "80", "24", "yes"}))
          ->dead);
  // A title holding U+0001 adds a field.
  EXPECT_FALSE(TmuxClient::parsePaneLine(paneLine({"%3", "s", "0", "0", "1", "/", "sh",
                                                   "a\x01"
                                                   "b",
                                                   "80", "24", "0"})));
  EXPECT_FALSE(TmuxClient::parsePaneLine(paneLine({"%3", "s", "0"})));
  EXPECT_FALSE(TmuxClient::parsePaneLine(""));
}

TEST(TmuxClientArguments, CaptureAndEveryCommandRunAgainstTheGivenSocket) {
  // echo stands in for tmux: it prints exactly the arguments it was given.
  const TmuxClient echo("/bin/echo", "/tmp/some socket");
  EXPECT_EQ(echo.capture("%1", 200, true),
            "-S /tmp/some socket capture-pane -p -J -t %1 -e -S -200\n");
  EXPECT_EQ(echo.capture("%1", std::nullopt, false),
            "-S /tmp/some socket capture-pane -p -J -t %1\n");
  EXPECT_EQ(echo.run({"send-keys", "-t", "%1", "Enter"}).standardOutput,
            "-S /tmp/some socket send-keys -t %1 Enter\n");
}

TEST(TmuxClientArguments, FailureTextNamesTheCommandStatusAndStandardError) {
  const TmuxClient::Failure f({"send-keys", "-t", "%9", "Enter"}, 1, "can't find pane: %9\n");
  EXPECT_STREQ(f.what(), "tmux send-keys -t %9 Enter failed (1): can't find pane: %9\n");
}

// The search is findExecutable's; what tmux adds is the system fallback.
TEST(TmuxClientExecutable, FirstTmuxOnPathElseUsrBin) {
  test::TempDir dir;
  test::writeFile(dir / "tmux", "#!/bin/true\n");
  ::chmod((dir / "tmux").c_str(), 0755);
  EXPECT_EQ(TmuxClient::resolveExecutable(std::string("/nonexistent:").append(dir.path().string())),
            (dir / "tmux").string());
  EXPECT_EQ(TmuxClient::resolveExecutable("/nonexistent"), "/usr/bin/tmux");
  EXPECT_EQ(TmuxClient::resolveExecutable(""), "/usr/bin/tmux");
  EXPECT_EQ(TmuxClient::resolveExecutable(std::nullopt), "/usr/bin/tmux");
}

class TmuxLive : public ::testing::Test {
 protected:
  TmuxServer server;
  test::TempDir dir;
  TmuxClient client{TmuxClient::resolveExecutable(), server.socketPath().string()};
};

TEST_F(TmuxLive, ListsEveryPaneOfItsOwnServerOnly) {
  const auto first = server.newSession(
      {.argv = {"/bin/cat"}, .cwd = dir.path(), .width = 90, .height = 30, .sessionName = "alpha"});
  const auto second =
      server.newSession({.argv = {"/bin/cat"}, .cwd = "/", .sessionName = "beta gamma"});
  std::vector<TmuxClient::PaneInfo> panes;
  ASSERT_TRUE(test::waitUntil([&] {
    panes = client.listPanes();
    return panes.size() == 2 && panes[0].currentCommand == "cat" &&
           panes[1].currentCommand == "cat";
  }));
  EXPECT_EQ(panes[0].paneID, first.id);
  EXPECT_EQ(panes[0].sessionName, "alpha");
  EXPECT_EQ(panes[0].pid, first.pid);
  EXPECT_EQ(panes[0].currentPath, dir.path().string());
  EXPECT_EQ(panes[0].width, 90);
  EXPECT_EQ(panes[0].height, 30);
  EXPECT_FALSE(panes[0].dead);
  EXPECT_EQ(panes[1].paneID, second.id);
  EXPECT_EQ(panes[1].sessionName, "beta gamma");

  // No server on a socket is a failure of list-panes as a whole.
  const TmuxClient nobody(client.executable(), (dir / "no-server").string());
  EXPECT_THROW(nobody.listPanes(), TmuxClient::Failure);
}

TEST_F(TmuxLive, CapturesWithAndWithoutEscapesAndScrollBack) {
  // Three rows: "first" scrolls away above the visible screen.
  // The pane stays alive after printing: a finished pane gains tmux's
  // "Pane is dead" line at a moment of its own, racing the captures below.
  const auto pane = server.newSession(
      {.argv = {"/bin/sh", "-c", "printf \"$1\"; exec cat", "sh",
                "first\\n1\\n2\\n3\\n4\\n\\033[31mred\\033[0m and \\033[2mdim\\033[0m\\nlast\\n"},
       .height = 3});
  std::string history;
  ASSERT_TRUE(test::waitUntil([&] {
    history = client.capture(pane.id, 50, false);
    return history.find("last") != std::string::npos;
  })) << history;
  EXPECT_NE(history.find("first\n1\n2\n3\n4\nred and dim\nlast\n"), std::string::npos) << history;
  EXPECT_EQ(history.find('\x1b'), std::string::npos);
  const std::string visible = client.capture(pane.id, std::nullopt, false);
  EXPECT_EQ(visible.find("first"), std::string::npos) << visible;

  const std::string escaped = client.capture(pane.id, 50, true);
  EXPECT_NE(escaped.find("\x1b[31m"), std::string::npos);
  EXPECT_EQ(AnsiText::stripped(escaped), history);
  std::vector<std::string> dim;
  for (const auto& s : AnsiText::segments(escaped))
    if (s.dim)
      dim.push_back(std::string(text::trimmed(s.text)));
  EXPECT_EQ(dim, std::vector<std::string>{"dim"});

  EXPECT_THROW(client.capture("%999", std::nullopt, false), TmuxClient::Failure);
}

TEST_F(TmuxLive, LiteralTextIsTypedEvenWhenItSpellsKeyNames) {
  const auto pane = server.newSession({.argv = {"/bin/cat"}});
  const std::string text = "-t Enter C-c Escape BSpace ; \"quoted\" $HOME ❯";
  client.sendLiteral(text, pane.id);
  ASSERT_TRUE(test::waitUntil([&] {
    return server.capture(pane.id).find(text) != std::string::npos;
  })) << server.capture(pane.id);
  // Had C-c been sent as a key, cat would be gone.
  EXPECT_TRUE(client.paneExists(pane.id));
  // A real key name, by contrast, is a key: the line reaches cat, which
  // prints it below.
  client.sendKey("Enter", pane.id);
  ASSERT_TRUE(test::waitUntil([&] {
    return server.capture(pane.id).find(text + "\n" + text + "\n") != std::string::npos;
  })) << server.capture(pane.id);
}

TEST_F(TmuxLive, DigitsAreSingleKeysAndOutOfRangeDigitsSendNothing) {
  const auto pane = server.newSession({.argv = {"/bin/cat"}});
  client.sendDigit(3, pane.id);
  client.sendDigit(9, pane.id);
  EXPECT_THROW(client.sendDigit(0, pane.id), std::invalid_argument);
  EXPECT_THROW(client.sendDigit(10, pane.id), std::invalid_argument);
  client.sendLiteral("|", pane.id);
  ASSERT_TRUE(test::waitUntil([&] {
    return server.capture(pane.id).find("39|") != std::string::npos;
  })) << server.capture(pane.id);
  EXPECT_EQ(server.capture(pane.id).find("39|"), 0u);
}

TEST_F(TmuxLive, PasteArrivesWholeThroughABufferThatIsGoneAfterwards) {
  const auto log = dir / "submitted";
  const auto pane =
      server.newSession({.argv = {terminal_test::inputBoxStub().string(), log.string()}});
  ASSERT_TRUE(test::waitUntil(
      [&] { return server.capture(pane.id).find("escapes: 0") != std::string::npos; }));
  const std::string text = "line one\nEnter C-c \"two\"\n  three ❯ é";
  client.pasteText(text, pane.id);
  ASSERT_TRUE(
      test::waitUntil([&] { return server.capture(pane.id).find("three") != std::string::npos; }));
  client.sendEnter(pane.id);
  // The stub ends each submitted text with a NUL.
  std::string logged;
  ASSERT_TRUE(test::waitUntil([&] {
    logged = std::filesystem::exists(log) ? test::readFile(log) : "";
    return !logged.empty() && logged.back() == '\0';
  }));
  EXPECT_EQ(logged, text + std::string(1, '\0'));
  EXPECT_EQ(server.tmux({"list-buffers"}).out, "");

  // A paste into a pane that does not exist fails and still leaves no buffer.
  EXPECT_THROW(client.pasteText("lost", "%999"), TmuxClient::Failure);
  EXPECT_EQ(server.tmux({"list-buffers"}).out, "");
}

TEST_F(TmuxLive, DeadAndMissingPanesDoNotExist) {
  const auto alive = server.newSession({.argv = {"/bin/cat"}});
  const auto dying = server.newSession({.argv = {"/bin/sleep", "0.2"}});
  EXPECT_TRUE(client.paneExists(alive.id));
  ASSERT_TRUE(test::waitUntil([&] { return !client.paneExists(dying.id); }));
  bool listedDead = false;
  for (const auto& p : client.listPanes())
    if (p.paneID == dying.id)
      listedDead = p.dead;
  EXPECT_TRUE(listedDead);
  EXPECT_FALSE(client.paneExists("%999"));
  EXPECT_FALSE(TmuxClient(client.executable(), (dir / "none").string()).paneExists("%0"));
  EXPECT_FALSE(TmuxClient("/nonexistent/tmux", server.socketPath().string()).paneExists(alive.id));
  EXPECT_THROW(TmuxClient("/nonexistent/tmux", server.socketPath().string()).listPanes(),
               std::system_error);
}

}  // namespace
}  // namespace parley::terminal
