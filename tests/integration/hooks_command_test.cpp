// `parley hooks ...` run as a real process in a temporary HOME.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>

#include "claude/hook_ingest.hpp"
#include "claude/hook_test_support.hpp"
#include "claude/worker_pool.hpp"
#include "integration/process_support.hpp"
#include "support/test_support.hpp"

namespace parley {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

class HooksCommandTest : public ::testing::Test {
 protected:
  test::Completed parley(const std::string& action,
                         const fs::path& binary = test::binPath("parley")) {
    return test::runProcess({.argv = {binary.string(), "hooks", action},
                             .env = test::environmentWith({{"HOME", home.string()},
                                                           {"XDG_DATA_HOME", std::nullopt},
                                                           {"PARLEY_SOCKET", std::nullopt}})},
                            dir.path());
  }

  test::TempDir dir;
  fs::path home = dir / "home";
  fs::path settings = home / ".claude" / "settings.json";
  fs::path relay = home / ".local" / "share" / "parley" / "parley-hook";
};

TEST_F(HooksCommandTest, InstallPlacesTheRelayRegistersItAndReportsAsTheAppDoes) {
  test::writeFile(settings,
                  R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"say done"}]}]}})");
  ASSERT_EQ(::chmod(settings.c_str(), 0600), 0);

  const auto installed = parley("install");
  EXPECT_EQ(installed.exitCode, 0) << installed.err;
  EXPECT_EQ(installed.err, "");
  ASSERT_EQ(installed.out.find("hooks installed: added 9, already present 0, preserved 1 "
                               "existing handlers\nbackup written to " +
                               (home / ".claude").string() + "/settings.json.bak-voice-"),
            0u)
      << installed.out;

  EXPECT_EQ(test::readFile(relay), test::readFile(test::binPath("parley-hook")));
  struct stat st {};
  ASSERT_EQ(::stat(relay.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::stat(settings.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const json::value doc = json::parse(test::readFile(settings));
  EXPECT_EQ(doc.at("hooks").at("Stop").as_array().size(), 2u);
  EXPECT_EQ(doc.at("hooks").at("Stop").at(1).at("hooks").at(0).at("command"),
            json::value(relay.string()));

  const auto status = parley("status");
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_NE(status.out.find("(installed)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("hooks: installed (9 of 9 events)"), std::string::npos);

  // The installed copy is a working relay.
  test::WorkerPool pool;
  test::Inbox inbox;
  auto ingest = claude::HookIngest::create(pool.executor(), home / ".local/share/parley/hook.sock");
  inbox.attach(*ingest);
  ingest->start();
  test::writeFile(dir / "event.json", test::hookLine("Stop", "via-installed-relay"));
  const pid_t pid =
      test::spawnProcess({.argv = {relay.string()},
                          .env = test::environmentWith({{"HOME", home.string()},
                                                        {"XDG_DATA_HOME", std::nullopt},
                                                        {"PARLEY_SOCKET", std::nullopt}}),
                          .stdinFile = dir / "event.json"});
  EXPECT_EQ(test::waitForExit(pid), 0);
  ASSERT_TRUE(inbox.waitForPayloads(1));
  EXPECT_EQ(inbox.payloads()[0].sessionID, "via-installed-relay");
}

TEST_F(HooksCommandTest, ReinstallAndUninstallReportTheirCounts) {
  ASSERT_EQ(parley("install").exitCode, 0);
  const auto again = parley("install");
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out.rfind("hooks installed: added 0, already present 9, preserved 1 "
                            "existing handlers\nbackup written to ",
                            0),
            0u)
      << again.out;

  const auto removed = parley("uninstall");
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_EQ(removed.out.rfind("hooks removed from 9 events\nbackup written to ", 0), 0u)
      << removed.out;
  EXPECT_EQ(json::parse(test::readFile(settings)), json::parse(R"({"hooks":{}})"));

  const auto status = parley("status");
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_NE(status.out.find("hooks: not installed (0 of 9 events)"), std::string::npos);
}

TEST_F(HooksCommandTest, RefusalGoesToStderrWithAFailingExitAndTouchesNothing) {
  test::writeFile(settings, "{ not json");
  const auto refused = parley("install");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "hook install refused: could not read settings.json: invalid JSON\n");
  EXPECT_EQ(test::readFile(settings), "{ not json");

  const auto uninstall = parley("uninstall");
  EXPECT_EQ(uninstall.exitCode, 1);
  EXPECT_EQ(uninstall.err, "hook uninstall failed: could not read settings.json: invalid JSON\n");

  const auto status = parley("status");
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_NE(status.out.find("problem: could not read settings.json: invalid JSON"),
            std::string::npos);
}

TEST_F(HooksCommandTest, WithoutARelayBesideItInstallSaysHowToBuildOneAndStillRegisters) {
  const fs::path lonely = dir / "bin" / "parley";
  fs::create_directories(lonely.parent_path());
  fs::copy_file(test::binPath("parley"), lonely);

  const auto installed = parley("install", lonely);
  EXPECT_EQ(installed.exitCode, 0);
  EXPECT_NE(installed.err.find("parley-hook is not beside the parley executable"),
            std::string::npos);
  EXPECT_NE(installed.err.find(relay.string()), std::string::npos);
  EXPECT_EQ(installed.out.rfind("hooks installed: added 9", 0), 0u);
  EXPECT_FALSE(fs::exists(relay));
}

}  // namespace
}  // namespace parley
