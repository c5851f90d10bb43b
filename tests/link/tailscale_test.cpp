#include "link/tailscale.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "link/pairing.hpp"
#include "support/test_support.hpp"

namespace parley::link {
namespace {

// A scripted stand-in for the Tailscale program: it records its arguments,
// one per line, in "args" beside itself, then runs `body`.
std::string standIn(const test::TempDir& dir, const std::string& body,
                    const std::string& name = "tailscale") {
  const auto path = dir / name;
  test::writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n" + body);
  ::chmod(path.c_str(), 0755);
  return path.string();
}

std::string failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const PairingError& e) {
    EXPECT_EQ(e.kind(), PairingError::Kind::tailscaleUnavailable);
    EXPECT_EQ(std::string(e.what()), "Tailscale status unavailable: " + e.message());
    return e.message();
  }
  ADD_FAILURE() << "no PairingError";
  return {};
}

TEST(TailscaleStatus, ReadsNameAddressesAndStateFromStatusJson) {
  test::TempDir dir;
  const std::string exe = standIn(dir, R"(cat <<'JSON'
{"Version":"1.80.0","BackendState":"Running","User":{"7":{"LoginName":"dev@example.com"}},
 "Self":{"DNSName":"desk.tail1234.ts.net.","UserID":7,
         "TailscaleIPs":["100.101.102.103","fd7a:115c:a1e0::1"]},
 "Peer":{"nodekey:a":{"TailscaleIPs":["100.100.1.2","fd7a:115c:a1e0::5"]},
         "nodekey:b":{"TailscaleIPs":["100.100.1.9"]},"nodekey:c":{"TailscaleIPs":[7]}}}
JSON
)");
  const auto info = TailscaleStatus(exe).read();
  EXPECT_EQ(info.magicDNSName, "desk.tail1234.ts.net");
  EXPECT_EQ(info.tailscaleIPs, (std::vector<std::string>{"100.101.102.103", "fd7a:115c:a1e0::1"}));
  EXPECT_EQ(info.peerIPs,
            (std::vector<std::string>{"100.100.1.2", "fd7a:115c:a1e0::5", "100.100.1.9"}));
  EXPECT_EQ(info.backendState, "Running");
  EXPECT_EQ(info.loginName, "dev@example.com");
  EXPECT_EQ(test::readFile(dir / "args"), "status\n--json\n");
}

TEST(TailscaleStatus, MissingOrOddOptionalKeysReadAsAbsent) {
  test::TempDir dir;
  const std::string exe = standIn(
      dir,
      R"(echo '{"BackendState":7,"Self":{"DNSName":"desk.ts.net","TailscaleIPs":["100.1.1.1",5]}}')");
  const auto info = TailscaleStatus(exe).read();
  EXPECT_EQ(info.magicDNSName, "desk.ts.net");  // no trailing dot: kept as is
  EXPECT_TRUE(info.tailscaleIPs.empty());
  EXPECT_EQ(info.backendState, std::nullopt);
  EXPECT_EQ(info.loginName, std::nullopt);

  standIn(dir, R"(echo '{"Self":{"DNSName":"a.b."}}')");
  const auto bare = TailscaleStatus(exe).read();
  EXPECT_EQ(bare.magicDNSName, "a.b");
  EXPECT_TRUE(bare.tailscaleIPs.empty());
  EXPECT_EQ(bare.backendState, std::nullopt);
}

TEST(TailscaleStatus, EachUnusableAnswerHasItsOwnMessage) {
  test::TempDir dir;
  const std::string exe = standIn(dir, "echo placeholder");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(echo '{"BackendState":"NeedsLogin"}')", "no Self.DNSName in status"},
      {R"(echo '{"Self":{"DNSName":null}}')", "no Self.DNSName in status"},
      {R"(echo '[{"Self":{"DNSName":"x"}}]')", "unparseable status JSON"},
      {"echo 'failed to connect to local tailscaled'", "unparseable status JSON"},
      {"echo '{}' ; echo 'not running' >&2; exit 3", "exit 3"},
      {"kill -9 $$", "killed by signal 9"},
  };
  for (const auto& [body, message] : cases) {
    standIn(dir, body);
    EXPECT_EQ(failureOf([&] { TailscaleStatus(exe).read(); }), message) << body;
  }
}

TEST(TailscaleStatus, AMissingOrNonExecutableProgramIsNeverStarted) {
  test::TempDir dir;
  EXPECT_EQ(failureOf([&] { TailscaleStatus((dir / "absent").string()).read(); }),
            "no CLI at " + (dir / "absent").string());
  // Present but not executable: refused before anything runs, so no "args".
  const std::string exe = standIn(dir, "echo '{}'");
  ::chmod(exe.c_str(), 0644);
  EXPECT_EQ(failureOf([&] { TailscaleStatus(exe).read(); }), "no CLI at " + exe);
  EXPECT_FALSE(std::filesystem::exists(dir / "args"));
  // A directory is not a program either.
  EXPECT_EQ(failureOf([&] { TailscaleServe(dir.path().string()).ensure(443, 8787); }),
            "no CLI at " + dir.path().string());
  // One that cannot start reports the system's reason.
  test::writeFile(exe, "#!/nonexistent/interpreter\n");
  ::chmod(exe.c_str(), 0755);
  EXPECT_EQ(failureOf([&] { TailscaleStatus(exe).read(); }), "No such file or directory");
}

TEST(TailscaleServe, ForwardsHttpsToTheLocalPortAndAFailureCarriesTheProgramsText) {
  test::TempDir dir;
  const std::string exe = standIn(dir, "exit 0");
  TailscaleServe(exe).ensure(443, 8787);
  EXPECT_EQ(test::readFile(dir / "args"), "serve\n--bg\n--https=443\nhttp://127.0.0.1:8787\n");
  standIn(dir, "printf 'Serve is not enabled on your tailnet.\\n\\377 end\\n' >&2; exit 1");
  EXPECT_EQ(failureOf([&] { TailscaleServe(exe).ensure(443, 8787); }),
            "Serve is not enabled on your tailnet.\n\uFFFD end");
  standIn(dir, "exit 2");
  EXPECT_EQ(failureOf([&] { TailscaleServe(exe).ensure(443, 8787); }), "exit 2");
}

TEST(TailscaleServe, ForwardsOnlyWhenTheHttpsPortProxiesToTheLocalPort) {
  test::TempDir dir;
  const std::string exe = standIn(dir, "exit 0");
  const auto serving = [](const std::string& hostPort, const std::string& proxy) {
    return R"({"TCP":{"443":{"HTTPS":true}},"Web":{")" + hostPort +
           R"(":{"Handlers":{"/":{"Proxy":")" + proxy + R"("}}}}})";
  };
  const std::vector<std::pair<std::string, bool>> cases = {
      {serving("desk.ts.net:443", "http://127.0.0.1:8787"), true},
      {serving("desk.ts.net:443", "http://localhost:8787"), true},
      {serving("desk.ts.net:443", "127.0.0.1:8787"), true},
      {serving("desk.ts.net:443", "http://127.0.0.1:9000"), false},
      {serving("desk.ts.net:8443", "http://127.0.0.1:8787"), false},
      {serving("desk.ts.net:443", "http://192.168.1.5:8787"), false},
      {"{}", false},
      {R"({"Web":{"desk.ts.net:443":{"Handlers":{"/":{"Path":"/srv"}}}}})", false},
  };
  for (const auto& [answer, forwards] : cases) {
    standIn(dir, "echo '" + answer + "'");
    EXPECT_EQ(TailscaleServe(exe).forwards(443, 8787), forwards) << answer;
  }
  EXPECT_EQ(test::readFile(dir / "args"), "serve\nstatus\n--json\n");
  standIn(dir, "echo 'serve config: not json'");
  EXPECT_EQ(failureOf([&] { TailscaleServe(exe).forwards(443, 8787); }),
            "unparseable serve status JSON");
}

TEST(TailscaleServe, LargeOutputOnBothPipesDoesNotStallTheProgram) {
  test::TempDir dir;
  // 1 MiB to each pipe, far beyond a pipe's buffer, before exiting.
  const std::string exe = standIn(dir,
                                  "head -c 1048576 /dev/zero | tr '\\0' o\n"
                                  "head -c 1048575 /dev/zero | tr '\\0' e >&2\n"
                                  "echo '!' >&2\nexit 1\n");
  const std::string message = failureOf([&] { TailscaleServe(exe).ensure(443, 8787); });
  EXPECT_EQ(message.size(), 1048576u);
  EXPECT_EQ(message.back(), '!');
}

// The search is findExecutable's; what Tailscale adds is the system fallback.
TEST(TailscaleProgram, TheFirstTailscaleOnPathWinsElseTheSystemLocation) {
  test::TempDir first, second;
  standIn(second, "echo '{\"Self\":{\"DNSName\":\"second.\"}}'");
  const std::string exe = standIn(first, "echo '{\"Self\":{\"DNSName\":\"first.\"}}'");
  {
    // Appended, not prepended: GCC 12 at -O2 misreads ":" + path.string() as
    // an overlapping copy (-Wrestrict).
    test::ScopedEnv path("PATH", first.path().string().append(":").append(second.path().string()));
    EXPECT_EQ(defaultTailscaleExecutable(), exe);
    EXPECT_EQ(TailscaleStatus().read().magicDNSName, "first");
  }
  test::ScopedEnv path("PATH", "/nonexistent");
  EXPECT_EQ(defaultTailscaleExecutable(), "/usr/bin/tailscale");
}

}  // namespace
}  // namespace parley::link
