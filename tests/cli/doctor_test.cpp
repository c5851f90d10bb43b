// `parley doctor` as a person runs it: a real process with its own HOME and
// PATH, against scripted Tailscale, Claude Code and sound server programs, a
// real tmux, the real hook installer and a running `parley run`.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/json.hpp>

#include "integration/process_support.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"

namespace parley::cli {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

class DoctorTest : public ::testing::Test {
 protected:
  DoctorTest() {
    fs::create_directories(home);
    fs::create_directories(bin);
  }

  void script(const std::string& name, const std::string& body) {
    test::writeFile(bin / name, "#!/bin/sh\n" + body);
    ::chmod((bin / name).c_str(), 0755);
  }

  std::map<std::string, std::string> env() const {
    return {
        {"HOME", home.string()}, {"PATH", bin.string() + ":/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
  }

  test::ProcessResult parley(std::vector<std::string> args) {
    args.insert(args.begin(), test::binPath("parley").string());
    return test::runProcess(args, env());
  }

  // The checks by name, from `parley doctor --json`.
  std::map<std::string, std::string> statuses(const test::ProcessResult& doctor) {
    std::map<std::string, std::string> out;
    const json::value report = json::parse(doctor.out);
    for (const json::value& check : report.at("checks").as_array())
      out[std::string(check.at("name").as_string())] = check.at("status").as_string();
    EXPECT_EQ(report.at("ok").as_bool(), doctor.status == 0);
    return out;
  }

  test::TempDir dir;
  fs::path home = dir / "home";
  fs::path bin = dir / "bin";
};

TEST_F(DoctorTest, ABareHomeFailsNamingWhatIsMissingAndWhatToDo) {
  // No Tailscale, no Claude Code, nothing installed, nothing running.
  const auto doctor = parley({"doctor"});
  EXPECT_EQ(doctor.status, 1) << doctor.out << doctor.err;
  for (const std::string expected :
       {"FAIL  claude code", "FAIL  tailscale", "FAIL  hooks", "\u2192 run `parley hooks install`",
        "FAIL  hook socket", "ok    tmux", "checks failed."})
    EXPECT_NE(doctor.out.find(expected), std::string::npos) << expected << "\n" << doctor.out;

  // A settings directory others can read is named with its fix.
  fs::create_directories(home / ".config" / "parley");
  ::chmod((home / ".config" / "parley").c_str(), 0755);
  const auto checks = statuses(parley({"doctor", "--json"}));
  EXPECT_EQ(checks.at("files"), "fail");
  EXPECT_EQ(checks.at("tailscale serve"), "skip");
  EXPECT_EQ(checks.at("tmux"), "ok");
}

TEST_F(DoctorTest, APreparedHomePassesWithParleyRunning) {
  script("tailscale",
         "case \"$1 $2\" in\n"
         "  'status --json') echo '{\"BackendState\":\"Running\",\"Self\":{\"DNSName\":"
         "\"desk.tail1234.ts.net.\"}}';;\n"
         "  'serve status') echo '{\"TCP\":{\"443\":{\"HTTPS\":true}},\"Web\":{"
         "\"desk.tail1234.ts.net:443\":{\"Handlers\":{\"/\":{\"Proxy\":"
         "\"http://127.0.0.1:9911\"}}}}}';;\n"
         "  *) exit 1;;\n"
         "esac\n");
  script("claude", "echo '2.1.222 (Claude Code)'\n");
  script("pactl", "echo 'Server Name: PulseAudio (on PipeWire 0.3.65)'\n");
  ASSERT_EQ(parley({"hooks", "install"}).status, 0);

  std::vector<std::string> environment;
  for (const auto& [name, value] : env())
    environment.push_back(name + "=" + value);
  const pid_t app = test::spawnProcess(
      {.argv = {test::binPath("parley").string(), "run", "--no-open", "--port", "0"},
       .env = environment});
  ASSERT_GT(app, 0);
  const fs::path socket = home / ".local" / "share" / "parley" / "hook.sock";
  const bool listening = test::waitUntil(
      [&] {
        boost::asio::io_context io;
        boost::asio::local::stream_protocol::socket probe(io);
        boost::system::error_code ec;
        probe.connect(boost::asio::local::stream_protocol::endpoint(socket.string()), ec);
        return !ec;
      },
      std::chrono::seconds(20), std::chrono::milliseconds(20));

  const auto doctor = listening ? parley({"doctor", "--port", "9911"}) : test::ProcessResult{};
  const auto wrongPort = parley({"doctor", "--json", "--port", "8787"});
  ::kill(app, SIGTERM);
  EXPECT_EQ(test::waitForExit(app), 0);
  ASSERT_TRUE(listening);
  EXPECT_EQ(doctor.status, 0) << doctor.out << doctor.err;
  EXPECT_NE(doctor.out.find("Everything Parley needs is in place."), std::string::npos)
      << doctor.out;
  EXPECT_NE(doctor.out.find("Claude Code 2.1.222"), std::string::npos) << doctor.out;

  // Tailscale serving another port is the one failure.
  EXPECT_EQ(wrongPort.status, 1);
  std::size_t failed = 0;
  for (const auto& [name, status] : statuses(wrongPort))
    failed += status == "fail" ? 1 : 0;
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(statuses(wrongPort).at("tailscale serve"), "fail");
}

TEST_F(DoctorTest, ThePushKeyAndSubjectAreCheckedWithoutBeingRepaired) {
  const fs::path key = home / ".local" / "share" / "parley" / "vapid.pem";
  const auto check = [&](const std::string& name) {
    const json::value report = json::parse(parley({"doctor", "--json"}).out);
    for (const json::value& c : report.at("checks").as_array())
      if (c.at("name") == name.c_str())
        return std::make_pair(std::string(c.at("status").as_string()),
                              std::string(c.at("detail").as_string()));
    return std::make_pair(std::string("missing"), std::string());
  };
  EXPECT_EQ(check("push key").first, "fail");
  // No Tailscale name: the fallback works everywhere but on Apple's service.
  const auto fallback = check("push subject");
  EXPECT_EQ(fallback.first, "warn");
  EXPECT_NE(fallback.second.find("mailto:parley@localhost, which Apple"), std::string::npos)
      << fallback.second;

  test::writeFile(key, "not a key");
  ::chmod(key.c_str(), 0600);
  EXPECT_EQ(check("push key"),
            std::make_pair(std::string("fail"), key.string() + " holds no P-256 private key"));
  EXPECT_EQ(test::readFile(key), "not a key");  // looked at, not replaced

  // A real key, as Parley makes it, but left readable by others.
  const auto made = test::runProcess({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                      "ec_paramgen_curve:P-256", "-out", key.string()},
                                     env());
  ASSERT_EQ(made.status, 0) << made.err;
  ::chmod(key.c_str(), 0644);
  EXPECT_EQ(check("push key").second, key.string() + " is readable by others (mode 0644)");
  ::chmod(key.c_str(), 0600);
  EXPECT_EQ(check("push key").first, "ok");

  test::writeFile(home / ".config" / "parley" / "preferences.json",
                  R"({"notifications":{"vapidSubject":"mailto:me@box.local"}})");
  const auto ignored = check("push subject");
  EXPECT_EQ(ignored.first, "fail");
  EXPECT_NE(ignored.second.find("is ignored: vapidSubject"), std::string::npos) << ignored.second;
  test::writeFile(home / ".config" / "parley" / "preferences.json",
                  R"({"notifications":{"vapidSubject":"mailto:me@example.com"}})");
  EXPECT_EQ(check("push subject"),
            std::make_pair(std::string("ok"),
                           std::string("pushes are signed mailto:me@example.com (set)")));
}

}  // namespace
}  // namespace parley::cli
