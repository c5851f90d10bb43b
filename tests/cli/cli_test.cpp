// The `parley` subcommands as a person runs them: real processes with their
// own HOME, a scripted `tailscale` first on PATH, exit codes and both outputs.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <boost/json.hpp>

#include "app/hook_setup.hpp"
#include "integration/process_support.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"

namespace parley::cli {
namespace {

namespace json = boost::json;

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    std::filesystem::create_directories(dir / "home");
    std::filesystem::create_directories(dir / "bin");
    test::writeFile(dir / "bin" / "tailscale",
                    "#!/bin/sh\n"
                    "case \"$1\" in\n"
                    "  status) echo '{\"BackendState\":\"Running\",\"Self\":{\"DNSName\":"
                    "\"desk.tail1234.ts.net.\"}}';;\n"
                    "  serve) echo \"$@\" >> \"$(dirname \"$0\")/serve.log\";;\n"
                    "esac\n");
    ::chmod((dir / "bin" / "tailscale").c_str(), 0755);
  }

  test::ProcessResult parley(std::vector<std::string> args) {
    args.insert(args.begin(), test::binPath("parley").string());
    return test::runProcess(args, {{"HOME", (dir / "home").string()},
                                   {"PATH", (dir / "bin").string() + ":/usr/bin:/bin"},
                                   {"LANG", "C.UTF-8"}});
  }

  test::TempDir dir;
};

TEST_F(CliTest, PairListAndRevokeADevice) {
  const auto empty = parley({"devices", "--json"});
  ASSERT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out, "[]\n");

  const auto paired = parley({"pair", "--name", "Pixel 9", "--json", "--port", "9000"});
  ASSERT_EQ(paired.status, 0) << paired.err;
  const json::object payload = json::parse(paired.out).as_object();
  EXPECT_EQ(payload.at("host"), "desk.tail1234.ts.net");
  EXPECT_EQ(payload.at("port"), 443);
  EXPECT_EQ(payload.at("v"), 1);
  EXPECT_GE(payload.at("token").as_string().size(), 32u);
  EXPECT_EQ(payload.at("url").as_string().find("https://desk.tail1234.ts.net/#pair="), 0u);
  // Tailscale was asked to forward HTTPS 443 to the given port.
  const std::string serve = test::readFile(dir / "bin" / "serve.log");
  EXPECT_NE(serve.find("443"), std::string::npos) << serve;
  EXPECT_NE(serve.find("9000"), std::string::npos) << serve;

  const auto listed = parley({"devices", "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const json::array devices = json::parse(listed.out).as_array();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].at("deviceName"), "Pixel 9");
  EXPECT_FALSE(devices[0].as_object().contains("lastSeen"));
  const std::string id(devices[0].at("deviceID").as_string());
  EXPECT_NE(parley({"devices"}).out.find("Pixel 9"), std::string::npos);

  const auto unknown = parley({"revoke", "no-such-device"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "revoke failed: no paired device has the id no-such-device\n");

  const auto revoked = parley({"revoke", id});
  ASSERT_EQ(revoked.status, 0) << revoked.err;
  EXPECT_EQ(revoked.out, "revoked Pixel 9\n");
  EXPECT_EQ(parley({"devices", "--json"}).out, "[]\n");
}

TEST_F(CliTest, AnUnreadableDeviceFileIsAnErrorNotAnEmptyList) {
  // Root reads any file whatever its mode; a directory in its place cannot
  // be read by anyone.
  std::filesystem::create_directories(dir / "home/.local/share/parley/devices.json");
  for (const bool asJson : {false, true}) {
    const auto listed = asJson ? parley({"devices", "--json"}) : parley({"devices"});
    EXPECT_NE(listed.status, 0);
    EXPECT_EQ(listed.out, "");
    EXPECT_NE(listed.err.find("devices.json"), std::string::npos) << listed.err;
  }
}

TEST_F(CliTest, PairingShowsAQrCodeWithItsHostAndPort) {
  const auto paired = parley({"pair", "--name", "Pixel"});
  ASSERT_EQ(paired.status, 0) << paired.err;
  EXPECT_NE(paired.out.find("\u2580"), std::string::npos);  // half-block QR modules
  EXPECT_NE(paired.out.find("Host: desk.tail1234.ts.net\nPort: 443\n"), std::string::npos);
}

TEST_F(CliTest, PairingWithoutTailscaleFailsAndPairsNothing) {
  std::filesystem::remove(dir / "bin" / "tailscale");
  auto result =
      test::runProcess({test::binPath("parley").string(), "pair", "--name", "Pixel"},
                       {{"HOME", (dir / "home").string()}, {"PATH", (dir / "bin").string()}});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.starts_with("pairing failed: ")) << result.err;
  EXPECT_TRUE(result.out.empty());
  EXPECT_EQ(parley({"devices", "--json"}).out, "[]\n");
}

TEST_F(CliTest, SessionsListsNothingWithoutClaudeCode) {
  const auto sessions = parley({"sessions", "--json"});
  ASSERT_EQ(sessions.status, 0) << sessions.err;
  EXPECT_EQ(sessions.out, "[]\n");
  EXPECT_EQ(parley({"sessions"}).out, "No Claude Code sessions found in tmux.\n");
}

TEST_F(CliTest, UsageErrorsGoToStandardErrorWithANonZeroCode) {
  const auto missing = parley({"pair"});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("--name"), std::string::npos) << missing.err;
  const auto version = parley({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("parley ")) << version.out;
  EXPECT_NE(parley({"no-such-command"}).status, 0);
}

// A scripted `systemctl` that logs its arguments and keeps the unit's state
// in files beside itself; with `manager` false it answers like a machine
// without a user manager.
void scriptSystemctl(const std::filesystem::path& bin, bool manager) {
  test::writeFile(
      bin / "systemctl",
      std::string("#!/bin/sh\n"
                  "d=$(dirname \"$0\")\n"
                  "echo \"$*\" >> \"$d/systemctl.log\"\n") +
          (manager ? "" : "echo 'Failed to connect to bus: No medium found' >&2; exit 1\n") +
          "case \"$2\" in\n"
          "  is-system-running) echo degraded; exit 1;;\n"
          "  enable) echo enabled > \"$d/state\";;\n"
          "  disable) echo disabled > \"$d/state\";;\n"
          "  is-enabled) cat \"$d/state\" 2>/dev/null || echo disabled;;\n"
          "  is-active) grep -q '^enabled' \"$d/state\" 2>/dev/null && echo active "
          "|| { echo inactive; exit 3; };;\n"
          "esac\n");
  ::chmod((bin / "systemctl").c_str(), 0755);
}

TEST_F(CliTest, ServiceInstallWritesAndEnablesTheUnitAndUninstallUndoesIt) {
  scriptSystemctl(dir / "bin", true);
  const auto unit = dir / "home" / ".config" / "systemd" / "user" / "parley.service";

  EXPECT_EQ(parley({"service", "status"}).status, 1);
  const auto installed = parley({"service", "install"});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_NE(installed.out.find("enabled and started parley.service"), std::string::npos);
  // The unit runs this very executable, quietly, and comes back after a crash.
  const std::string text = test::readFile(unit);
  EXPECT_NE(text.find("run --no-open' \"" + test::binPath("parley").string() + "\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Restart=on-failure"), std::string::npos);
  const auto status = parley({"service", "status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.out, "parley.service: enabled, active\n");

  ASSERT_EQ(parley({"service", "uninstall"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(unit));
  EXPECT_EQ(test::readFile(dir / "bin" / "systemctl.log"),
            "--user is-system-running\n--user is-enabled parley.service\n"
            "--user is-active parley.service\n"
            "--user is-system-running\n--user daemon-reload\n"
            "--user enable --now parley.service\n"
            "--user is-system-running\n--user is-enabled parley.service\n"
            "--user is-active parley.service\n"
            "--user is-system-running\n--user disable --now parley.service\n"
            "--user daemon-reload\n");
}

TEST_F(CliTest, ServiceWithoutAUserManagerSaysSoAndWritesNothing) {
  scriptSystemctl(dir / "bin", false);
  for (const std::string action : {"install", "uninstall", "status"}) {
    const auto result = parley({"service", action});
    EXPECT_EQ(result.status, 1) << action;
    EXPECT_EQ(result.err,
              "parley service: there is no systemd user manager for this user (systemctl --user: "
              "Failed to connect to bus: No medium found). Log in to a desktop session (or "
              "`loginctl enable-linger`) to get one, or start `parley run` yourself.\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "home" / ".config" / "systemd"));
}

TEST(HookSetup, APackagedRelayRunsWhereItIsAndABuildTreesIsCopied) {
  test::TempDir dir;
  test::ScopedEnv home("HOME", dir.path().string());
  test::ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  const auto copy = dir / ".local" / "share" / "parley" / "parley-hook";
  const std::vector<std::pair<std::string, std::filesystem::path>> cases = {
      {"/usr/bin", "/usr/bin/parley-hook"},
      {"/usr/local/bin", "/usr/local/bin/parley-hook"},
      {"/opt/parley/bin", "/opt/parley/bin/parley-hook"},
      {"/home/dev/parley/build/bin", copy},
      {"/usr/../home/dev/bin", copy},
      {"", copy},
  };
  for (const auto& [directory, relay] : cases)
    EXPECT_EQ(app::relayPathFor(directory), relay) << directory;
}

// Run as the service is: its output goes to the journal, which the panel's
// secret must stay out of.
TEST_F(CliTest, RunIsAloneOnItsSocketKeepsThePanelSecretOutOfAServiceLogAndQuitsWithItsReader) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const std::string home = "HOME=" + (dir / "home").string();
  const pid_t app = test::spawnProcess(
      {.argv = {test::binPath("parley").string(), "run", "--no-open", "--port", "0", "--panel-port",
                "0"},
       .env = {home, "PATH=/usr/bin:/bin", "INVOCATION_ID=5d4ec1b8b0c24c1f9a1e3f3c2b7d9e10"},
       .stdoutFd = out[1]});
  ::close(out[1]);
  ASSERT_GT(app, 0);
  const std::filesystem::path socket = dir / "home/.local/share/parley/hook.sock";
  ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(socket); },
                              std::chrono::seconds(20), std::chrono::milliseconds(10)));

  const auto second = parley({"run", "--no-open", "--port", "0"});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err,
            "parley: Parley is already running for " + socket.string() + "; quit it first\n");

  // `parley panel` finds the running one's panel; without a desktop it says
  // where it is.
  const std::filesystem::path address = socket.parent_path() / "panel-address";
  ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(address); }));
  const auto panel = parley({"panel"});
  EXPECT_EQ(panel.status, 0) << panel.err;
  EXPECT_EQ(panel.out.rfind("control panel at http://127.0.0.1:", 0), 0u) << panel.out;
  EXPECT_NE(panel.out.find("/?key="), std::string::npos) << panel.out;
  struct stat st {};
  ASSERT_EQ(::stat(address.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The run says where the panel is, without the key `parley panel` read.
  std::string printed;
  ASSERT_TRUE(test::waitUntil([&] {
    char chunk[4096];
    pollfd ready{out[0], POLLIN, 0};
    if (::poll(&ready, 1, 0) == 1)
      if (const ssize_t n = ::read(out[0], chunk, sizeof chunk); n > 0)
        printed.append(chunk, static_cast<std::size_t>(n));
    return printed.find("control panel at") != std::string::npos &&
           printed.find('\n', printed.find("control panel at")) != std::string::npos;
  })) << printed;
  EXPECT_NE(printed.find("control panel at http://127.0.0.1:"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("key="), std::string::npos) << printed;

  // Like `parley run | head -1`: the reader is gone.
  ::close(out[0]);
  // Each hook event writes a log line; the first that fails ends the run.
  const std::string event = R"({"session_id":"s","hook_event_name":"SessionStart","cwd":"/"})";
  std::optional<int> status;
  test::waitUntil(
      [&] {
        test::runProcess({test::binPath("parley-hook").string()},
                         {{"PARLEY_SOCKET", socket.string()}}, event);
        return (status = test::waitForExit(app, std::chrono::milliseconds(50))).has_value();
      },
      std::chrono::seconds(20));
  if (!status)
    ::kill(app, SIGKILL);
  EXPECT_EQ(status, 0) << "killed by a signal, or still running";
  EXPECT_FALSE(std::filesystem::exists(socket));
  EXPECT_FALSE(std::filesystem::exists(address));
}

}  // namespace
}  // namespace parley::cli
