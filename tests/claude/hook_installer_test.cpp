#include "claude/hook_installer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>

#include "support/test_support.hpp"

namespace parley::claude {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using InstallError = HookInstaller::InstallError;
using Strings = std::vector<std::string>;

const Strings kAllEvents = {"SessionStart", "SessionEnd",  "UserPromptSubmit",
                            "PreToolUse",   "PostToolUse", "PermissionRequest",
                            "Notification", "Stop",        "PreCompact"};

// A settings file as people really have them: permissions, environment with
// a secret, other tools' hooks (one sharing an event with us, one on an
// event we do not register), and assorted keys Claude Code may add later.
constexpr const char* kRealisticSettings = R"json({
  "$schema": "https://json.schemastore.org/claude-code-settings.json",
  "model": "opus",
  "env": {"ANTHROPIC_API_KEY": "sk-ant-secret", "BASH_DEFAULT_TIMEOUT_MS": 120000},
  "permissions": {
    "allow": ["Bash(npm run lint)", "Read(~/.zshrc)"],
    "deny": ["Bash(curl:*)", "Read(./.env)"],
    "additionalDirectories": ["../docs/"],
    "defaultMode": "acceptEdits"
  },
  "hooks": {
    "PreToolUse": [
      {"matcher": "Bash", "hooks": [{"type": "command", "command": "/usr/local/bin/guard --strict", "timeout": 30}]}
    ],
    "PostToolUse": [
      {"matcher": "Edit|Write", "hooks": [
        {"type": "command", "command": "npx prettier --write \"$CLAUDE_FILE_PATHS\""},
        {"type": "command", "command": "~/.claude/hooks/log.sh"}
      ]}
    ],
    "SubagentStop": [{"hooks": [{"type": "command", "command": "notify-send 'subagent done'"}]}]
  },
  "statusLine": {"type": "command", "command": "~/.claude/statusline.sh", "padding": 0},
  "cleanupPeriodDays": 30,
  "temperatureHint": 0.5,
  "ratio": 1.0,
  "unicode": "caf\u00e9 \u2713",
  "includeCoAuthoredBy": false,
  "futureSetting": {"nested": [1, {"deep": null}]}
})json";

class HookInstallerTest : public ::testing::Test {
 protected:
  fs::path settings() const { return home / ".claude" / "settings.json"; }
  HookInstaller installer(const std::string& relay = "/home/dev/.local/share/parley/parley-hook") {
    return HookInstaller(relay, settings());
  }
  json::object document() const { return json::parse(test::readFile(settings())).as_object(); }
  json::array groups(std::string_view event) const {
    return document().at("hooks").at(event).as_array();
  }
  std::vector<fs::path> backups() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(settings().parent_path())) {
      if (entry.path().filename().string().starts_with("settings.json.bak-voice-"))
        found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  static mode_t modeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 0777;
  }
  static json::value relayGroup(const std::string& command) {
    return json::object{
        {"hooks",
         json::array{json::object{
             {"type", "command"}, {"command", command}, {"async", true}, {"timeout", 2}}}}};
  }

  test::TempDir dir;
  fs::path home = dir / "home";
};

TEST_F(HookInstallerTest, InstallsIntoAMissingFileAndDirectory) {
  const auto report = installer().install();
  EXPECT_FALSE(report.backupPath);
  EXPECT_EQ(report.eventsAdded, kAllEvents);
  EXPECT_TRUE(report.alreadyPresent.empty());
  EXPECT_EQ(report.preservedHandlers, 0u);

  const json::object hooks = document().at("hooks").as_object();
  EXPECT_EQ(hooks.size(), 9u);
  for (const std::string& event : kAllEvents)
    EXPECT_EQ(hooks.at(event), json::array{relayGroup("/home/dev/.local/share/parley/parley-hook")})
        << event;
  EXPECT_TRUE(installer().isInstalled());
  EXPECT_EQ(modeOf(settings()), 0600u);
}

TEST_F(HookInstallerTest, InstallAppendsToARealisticFileAndDropsNothing) {
  test::writeFile(settings(), kRealisticSettings);
  ASSERT_EQ(::chmod(settings().c_str(), 0600), 0);
  const json::object original = json::parse(kRealisticSettings).as_object();

  const auto report = installer().install();
  EXPECT_EQ(report.eventsAdded, kAllEvents);
  EXPECT_EQ(report.preservedHandlers, 4u);

  const json::object after = document();
  for (const auto& [key, value] : original) {
    if (key != "hooks") {
      EXPECT_EQ(after.at(key), value) << key;
    }
  }
  EXPECT_TRUE(after.at("ratio").is_double()) << "1.0 must stay a floating-point number";
  const json::array pre = groups("PreToolUse");
  ASSERT_EQ(pre.size(), 2u);
  EXPECT_EQ(pre[0], original.at("hooks").at("PreToolUse").at(0));
  EXPECT_EQ(pre[1], relayGroup("/home/dev/.local/share/parley/parley-hook"));
  EXPECT_EQ(document().at("hooks").at("SubagentStop"), original.at("hooks").at("SubagentStop"));

  // Backed up byte for byte, no more readable than the original.
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(report.backupPath, backups()[0]);
  EXPECT_EQ(test::readFile(backups()[0]), kRealisticSettings);
  EXPECT_EQ(modeOf(backups()[0]), 0600u);
  EXPECT_EQ(modeOf(settings()), 0600u);

  // Sorted keys, "/" unescaped.
  const std::string text = test::readFile(settings());
  EXPECT_LT(text.find("\"$schema\""), text.find("\"cleanupPeriodDays\""));
  EXPECT_LT(text.find("\"cleanupPeriodDays\""), text.find("\"env\""));
  EXPECT_NE(text.find("https://json.schemastore.org/"), std::string::npos);
}

TEST_F(HookInstallerTest, ARewriteKeepsEveryNumberAsWrittenAndAcceptsDeepNesting) {
  // The first two are doubles Boost.JSON 1.81 rounds wrongly; 1e400 it reads
  // as infinity.
  const std::vector<std::string> numbers{
      "5.409760742964738e+124",         "1.3927926388013963e-143", "1.0",  "1e400", "-0.0",
      "123456789012345678901234567890", "18446744073709551616",    "1.50", "2E-3"};
  std::string text = "{\"n\": [";
  for (const std::string& n : numbers)
    text += n + ", ";
  text +=
      "0], \"deep\": " + std::string(40, '[') + std::string(40, ']') + ", \"nul\": \"\\u0000n7\"}";
  test::writeFile(settings(), text);
  installer().install();
  const std::string written = test::readFile(settings());
  for (const std::string& n : numbers)
    EXPECT_NE(written.find("    " + n + ",\n"), std::string::npos) << n << " in\n" << written;
  EXPECT_NE(written.find("\"nul\": \"\\u0000n7\""), std::string::npos) << written;
  installer().uninstall();
  EXPECT_NE(test::readFile(settings()).find("    5.409760742964738e+124,\n"), std::string::npos);
}

TEST_F(HookInstallerTest, SecondInstallFindsEverythingPresentAndKeepsTheOriginalBackup) {
  test::writeFile(settings(), kRealisticSettings);
  ASSERT_EQ(::chmod(settings().c_str(), 0644), 0);
  installer().install();
  const std::string afterFirst = test::readFile(settings());

  const auto second = installer().install();
  EXPECT_TRUE(second.eventsAdded.empty());
  EXPECT_EQ(second.alreadyPresent, kAllEvents);
  EXPECT_EQ(test::readFile(settings()), afterFirst);
  EXPECT_EQ(modeOf(settings()), 0644u);

  // Both runs may fall in the same second; the user's original must survive.
  const auto all = backups();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(test::readFile(all[0]) == kRealisticSettings ||
              test::readFile(all[1]) == kRealisticSettings);
  EXPECT_EQ(test::readFile(*second.backupPath), afterFirst);
}

TEST_F(HookInstallerTest, AnUnquotedRelayCommandIsRewrittenInPlace) {
  const std::string relay = "/home/dev/My Data/parley-hook";
  json::object file{
      {"hooks",
       json::object{
           {"Stop", json::array{json::object{
                        {"hooks", json::array{
                                      json::object{{"type", "command"}, {"command", relay}},
                                      json::object{{"type", "command"}, {"command", "say done"}},
                                  }}}}}}}};
  test::writeFile(settings(), json::serialize(file));

  const auto report = installer(relay).install();
  EXPECT_NE(std::find(report.eventsAdded.begin(), report.eventsAdded.end(), "Stop"),
            report.eventsAdded.end());
  const json::array stop = groups("Stop");
  ASSERT_EQ(stop.size(), 1u) << "no second group";
  EXPECT_EQ(stop[0].at("hooks").at(0).at("command"), json::value("\"" + relay + "\""));
  EXPECT_EQ(stop[0].at("hooks").at(1).at("command"), "say done");
  EXPECT_TRUE(installer(relay).isInstalled());
}

TEST_F(HookInstallerTest, TheRelaysOtherLocationIsRewrittenRemovedAndCounted) {
  // Hooks registered from the data directory's copy, then the packaged relay
  // installed beside the application.
  const std::string copy = "/home/dev/.local/share/parley/parley-hook";
  const std::string packaged = "/usr/bin/parley-hook";
  installer(copy).install();
  const HookInstaller fromPackage(packaged, settings(), {copy});
  EXPECT_TRUE(fromPackage.isInstalled());

  const auto report = fromPackage.install();
  EXPECT_EQ(report.eventsAdded.size(), HookInstaller::events.size());
  const json::array stop = groups("Stop");
  ASSERT_EQ(stop.size(), 1u) << "rewritten, not added";
  EXPECT_EQ(stop[0].at("hooks").at(0).at("command"), json::value(packaged));
  EXPECT_FALSE(installer(copy).isInstalled());

  EXPECT_EQ(HookInstaller(copy, settings(), {packaged}).uninstall().eventsRemoved.size(),
            HookInstaller::events.size());
  EXPECT_EQ(document().at("hooks"), json::object());
}

TEST_F(HookInstallerTest, CanonicalCommandIsSafeForTheShell) {
  EXPECT_EQ(installer("/home/dev/.local/share/parley/parley-hook").canonicalCommand(),
            "/home/dev/.local/share/parley/parley-hook");
  EXPECT_EQ(installer("/home/my user/parley-hook").canonicalCommand(),
            "\"/home/my user/parley-hook\"");
  EXPECT_EQ(installer("/home/o'brien/parley-hook").canonicalCommand(),
            "\"/home/o'brien/parley-hook\"");
  EXPECT_EQ(installer("/home/a$b \"c\"/parley-hook").canonicalCommand(),
            "'/home/a$b \"c\"/parley-hook'");
  EXPECT_EQ(installer("/x/it's $HOME/parley-hook").canonicalCommand(),
            "'/x/it'\\''s $HOME/parley-hook'");
  EXPECT_EQ(installer("/p q/r").relayCommands(), (std::set<std::string>{"/p q/r", "\"/p q/r\""}));
}

TEST_F(HookInstallerTest, RefusalsLeaveTheFileUntouchedAndWriteNoBackup) {
  struct Case {
    std::string content;
    InstallError::Kind kind;
    std::string text;
  };
  const std::vector<Case> cases = {
      {R"({"hooks":{"PreToolUse":["stray",{"hooks":[{"type":"command","command":"guard"}]}]}})",
       InstallError::Kind::wouldDropHandlers,
       "refusing to write: merge would drop existing handlers: guard"},
      {R"({"hooks":["not","an","object"]})", InstallError::Kind::wouldReplaceSettings,
       "refusing to write: merge would replace existing settings: hooks"},
      {R"({"hooks":{"Stop":{"matcher":"*"},"SessionEnd":"x"}})",
       InstallError::Kind::wouldReplaceSettings,
       "refusing to write: merge would replace existing settings: hooks.SessionEnd, hooks.Stop"},
      {"{\"hooks\": {}, // a comment\n}", InstallError::Kind::unreadable,
       "could not read settings.json: invalid JSON"},
      {"", InstallError::Kind::unreadable, "could not read settings.json: invalid JSON"},
      {"[1,2]", InstallError::Kind::notAnObject, "settings.json is not a JSON object"},
      {"\"text\"", InstallError::Kind::notAnObject, "settings.json is not a JSON object"},
  };
  for (const Case& c : cases) {
    test::writeFile(settings(), c.content);
    try {
      installer().install();
      ADD_FAILURE() << "install accepted " << c.content;
    } catch (const InstallError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.content;
      EXPECT_EQ(std::string(e.what()), c.text);
    }
    EXPECT_EQ(test::readFile(settings()), c.content);
    EXPECT_TRUE(backups().empty()) << c.content;
    EXPECT_FALSE(installer().isInstalled());
  }
}

TEST_F(HookInstallerTest, UninstallRemovesOnlyTheRelayAndRestoresTheOriginalContent) {
  test::writeFile(settings(), kRealisticSettings);
  const std::string relay = "/home/dev/.local/share/parley/parley-hook";
  installer(relay).install();
  // Someone later put their own handler into our Stop group.
  json::object doc = document();
  doc["hooks"].as_object()["Stop"].as_array()[0].as_object()["hooks"].as_array().push_back(
      json::object{{"type", "command"}, {"command", "say stopped"}});
  test::writeFile(settings(), json::serialize(doc));

  const auto report = installer(relay).uninstall();
  EXPECT_EQ(report.eventsAdded, Strings{});
  Strings removed = report.eventsRemoved;
  std::sort(removed.begin(), removed.end());
  Strings expected = kAllEvents;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(removed, expected);
  EXPECT_TRUE(report.alreadyPresent.empty());
  EXPECT_EQ(report.preservedHandlers, 5u);
  EXPECT_FALSE(installer(relay).isInstalled());
  EXPECT_EQ(installer(relay).status().eventsWithRelay, Strings{});

  json::object after = document();
  const json::array stop = after.at("hooks").at("Stop").as_array();
  ASSERT_EQ(stop.size(), 1u);
  EXPECT_EQ(stop[0],
            (json::object{{"hooks", json::array{json::object{{"type", "command"},
                                                             {"command", "say stopped"}}}}}));
  after["hooks"].as_object().erase("Stop");
  EXPECT_EQ(after, json::parse(kRealisticSettings).as_object())
      << "everything but our own entries is back as it was";
  ASSERT_TRUE(report.backupPath);
  EXPECT_EQ(json::parse(test::readFile(*report.backupPath)), doc);
}

TEST_F(HookInstallerTest, StatusNeedsEveryEvent) {
  EXPECT_FALSE(installer().isInstalled());
  EXPECT_FALSE(installer().status().problem);
  installer().install();
  EXPECT_EQ(installer().status().eventsWithRelay, kAllEvents);

  json::object doc = document();
  doc["hooks"].as_object().erase("PreCompact");
  test::writeFile(settings(), json::serialize(doc));
  EXPECT_FALSE(installer().isInstalled());
  EXPECT_EQ(installer().status().eventsWithRelay.size(), 8u);
  EXPECT_FALSE(installer("/elsewhere/parley-hook").isInstalled());

  test::writeFile(settings(), "{oops");
  EXPECT_FALSE(installer().isInstalled());
  EXPECT_EQ(installer().status().problem, "could not read settings.json: invalid JSON");
}

TEST_F(HookInstallerTest, ALinkedSettingsFileStaysALink) {
  const fs::path real = dir / "dotfiles" / "claude-settings.json";
  test::writeFile(real, R"({"model":"sonnet"})");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_directories(settings().parent_path());
  fs::create_symlink(real, settings());

  const auto report = installer().install();
  EXPECT_TRUE(fs::is_symlink(settings()));
  EXPECT_EQ(json::parse(test::readFile(real)).at("model"), "sonnet");
  EXPECT_TRUE(installer().isInstalled());
  EXPECT_EQ(modeOf(real), 0640u);
  EXPECT_EQ(report.backupPath->parent_path(), settings().parent_path());
}

TEST_F(HookInstallerTest, WriteAndBackupFailuresAreReportedWithTheirCause) {
  // A place where no file can be created, even by root.
  try {
    HookInstaller("/r", "/proc/self/claude-settings.json").install();
    ADD_FAILURE() << "the write cannot succeed";
  } catch (const InstallError& e) {
    EXPECT_EQ(e.kind(), InstallError::Kind::writeFailed);
    EXPECT_EQ(std::string(e.what()).rfind("could not write settings.json: ", 0), 0u) << e.what();
  }

  // Backup names that cannot be written, for this second and the next.
  test::writeFile(settings(), R"({"model":"opus"})");
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t <= now + 1; ++t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    fs::create_directories(settings().parent_path() /
                           ("settings.json.bak-voice-" + std::string(stamp)) / "x");
  }
  try {
    installer().install();
    ADD_FAILURE() << "the backup cannot succeed";
  } catch (const InstallError& e) {
    EXPECT_EQ(e.kind(), InstallError::Kind::backupFailed);
    EXPECT_EQ(std::string(e.what()).rfind("could not write backup: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(test::readFile(settings()), R"({"model":"opus"})");
}

}  // namespace
}  // namespace parley::claude
