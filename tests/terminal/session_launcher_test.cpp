#include "terminal/session_launcher.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.hpp"

namespace parley::terminal {
namespace {

namespace fs = std::filesystem;

// Windows opened in a tmux server of the test's own, which the first open
// starts; `cat` stands in for Claude Code (it stays until its window goes).
class LauncherTest : public ::testing::Test {
 protected:
  ~LauncherTest() override { tmux().run({"kill-server"}); }

  TmuxClient tmux() const { return TmuxClient(TmuxClient::resolveExecutable(), socket.string()); }

  SessionLauncher launcher(std::size_t maxLive, fs::path program = "/bin/cat") {
    return SessionLauncher({.home = dir / "home",
                            .socketPath = socket.string(),
                            .claudeExecutable = program,
                            .loginShell = "",
                            .maxLive = maxLive});
  }

  std::vector<std::string> windows() const {
    const auto r = tmux().run({"list-windows", "-a", "-F", "#{session_name}:#{window_name}"});
    std::vector<std::string> out;
    std::istringstream in(r.standardOutput);
    for (std::string line; std::getline(in, line);)
      out.push_back(line);
    return out;
  }

  test::TempDir dir;
  fs::path socket = dir / "tmux.sock";
};

TEST_F(LauncherTest, OpensNamedWindowsInItsSessionUpToTheLimit) {
  fs::create_directories(dir / "my.app");
  SessionLauncher two = launcher(2);
  const auto first = two.open(dir / "my.app", "my.app", {}, {});
  EXPECT_EQ(first.tmuxTarget, "parley:0");
  EXPECT_EQ(first.attach, "tmux -S " + socket.string() + " attach -t parley:0");
  const auto second = two.open(dir / "my.app", "my.app", {}, {});
  EXPECT_EQ(windows(), (std::vector<std::string>{"parley:my_app", "parley:my_app"}));
  EXPECT_EQ(
      tmux().run({"display", "-p", "-t", first.paneID, "#{pane_current_path}"}).standardOutput,
      fs::canonical(dir / "my.app").string() + "\n");
  try {
    two.open(dir / "my.app", "my.app", {}, {});
    ADD_FAILURE() << "a third window opened";
  } catch (const SessionLauncher::LaunchError& e) {
    EXPECT_STREQ(e.what(), "already 2 sessions started from the phone are running: stop one first");
  }
  // A closed window makes room again.
  tmux().run({"kill-pane", "-t", second.paneID});
  EXPECT_NO_THROW(two.open(dir / "my.app", "my.app", {}, {}));
  EXPECT_EQ(windows().size(), 2u);
}

TEST_F(LauncherTest, AMissingProgramOrAFailingTmuxOpensNothing) {
  try {
    launcher(16, dir / "no-claude").open(dir.path(), "x", {}, {});
    ADD_FAILURE() << "opened without a program";
  } catch (const SessionLauncher::LaunchError& e) {
    EXPECT_NE(std::string(e.what()).find("Claude Code was not found"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(socket));

  socket = dir / "missing" / "tmux.sock";
  try {
    launcher(16).open(dir.path(), "x", {}, {});
    ADD_FAILURE() << "opened on an unusable socket";
  } catch (const SessionLauncher::LaunchError& e) {
    EXPECT_NE(std::string(e.what()).find("tmux could not open a window"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace parley::terminal
