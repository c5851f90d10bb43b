#include "desktop/terminal_launcher.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.hpp"

namespace parley::desktop {
namespace {

TEST(TerminalLauncher, PassesHostileValuesAsPlainArguments) {
  test::TempDir dir;
  const auto record = dir / "argv";
  const auto terminal = dir / "fake-terminal";
  // A stand-in terminal that writes each argument it received on its own line.
  test::writeFile(terminal, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                record.string() + ".tmp\"\nmv \"" + record.string() + ".tmp\" \"" +
                                record.string() + "\"\n");
  ::chmod(terminal.c_str(), 0755);
  test::ScopedEnv env("TERMINAL", terminal.string());

  const std::string socket = "/tmp/my sockets/tmux\"; touch /tmp/pwned; \"";
  const std::string session = "work $(id) `id` ;|&";
  TerminalLauncher::open(socket, session);

  ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(record); }));
  EXPECT_EQ(test::readLines(record),
            (std::vector<std::string>{"-e", "tmux", "-S", socket, "attach", "-t", session}));
  EXPECT_FALSE(std::filesystem::exists("/tmp/pwned"));
}

TEST(TerminalLauncher, FallsBackToTheDebianTerminalAlternative) {
  test::ScopedEnv env("TERMINAL", "");
  EXPECT_EQ(TerminalLauncher::command("/s", "w").front(), "x-terminal-emulator");
}

TEST(TerminalLauncher, AMissingTerminalIsAnErrorWithTheReason) {
  test::ScopedEnv env("TERMINAL", "/nonexistent/terminal");
  try {
    TerminalLauncher::open("/s", "w");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/terminal"), std::string::npos);
  }
}

}  // namespace
}  // namespace parley::desktop
