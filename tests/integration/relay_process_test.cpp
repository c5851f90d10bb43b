// The real parley-hook process against a real listener.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <boost/json.hpp>

#include "claude/hook_ingest.hpp"
#include "claude/hook_test_support.hpp"
#include "claude/ndjson_framer.hpp"
#include "claude/worker_pool.hpp"
#include "integration/process_support.hpp"
#include "relay/relay.hpp"
#include "support/test_support.hpp"

namespace parley {
namespace {

namespace json = boost::json;
using claude::HookIngest;
using claude::HookIngestError;
using protocol::HookPayload;

class RelayProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ingest = HookIngest::create(pool.executor(), socketPath);
    inbox.attach(*ingest);
    ingest->start();
  }

  // Starts the relay with `input` on stdin; `tmux` gives TMUX_PANE and TMUX.
  pid_t startRelay(const std::string& input,
                   std::optional<std::pair<std::string, std::string>> tmux = std::nullopt,
                   std::map<std::string, std::optional<std::string>> env = {}) {
    const auto file = dir / ("input-" + std::to_string(inputs++));
    test::writeFile(file, input);
    env.try_emplace("PARLEY_SOCKET", socketPath.string());
    env["TMUX_PANE"] = tmux ? std::optional(tmux->first) : std::nullopt;
    env["TMUX"] = tmux ? std::optional(tmux->second) : std::nullopt;
    const pid_t pid = test::spawnProcess({.argv = {test::binPath("parley-hook").string()},
                                          .env = test::environmentWith(env),
                                          .stdinFile = file});
    EXPECT_GT(pid, 0);
    return pid;
  }

  void runRelay(const std::string& input,
                std::optional<std::pair<std::string, std::string>> tmux = std::nullopt,
                std::map<std::string, std::optional<std::string>> env = {}) {
    EXPECT_EQ(test::waitForExit(startRelay(input, tmux, std::move(env))), 0);
  }

  // Proves that earlier relays delivered nothing more: a sentinel sent after
  // they exited is delivered after anything they sent.
  void expectOnlySentinelArrives(std::size_t payloadsBefore, std::size_t errorsBefore = 0) {
    runRelay(test::hookLine("Stop", "sentinel"));
    ASSERT_TRUE(inbox.waitForPayloads(payloadsBefore + 1));
    const auto payloads = inbox.payloads();
    EXPECT_EQ(payloads.size(), payloadsBefore + 1);
    EXPECT_EQ(payloads.back().sessionID, "sentinel");
    EXPECT_EQ(inbox.errorCount(), errorsBefore);
  }

  test::TempDir dir;
  test::WorkerPool pool;
  test::Inbox inbox;
  std::filesystem::path socketPath = dir / "hook.sock";
  std::shared_ptr<HookIngest> ingest;
  int inputs = 0;
};

std::string withoutTmuxKeys(const std::string& line) {
  json::object o = json::parse(line).as_object();
  o.erase("tmux_pane");
  o.erase("tmux_env");
  return json::serialize(o);
}

TEST_F(RelayProcessTest, CapturedHookEventsArriveWithTheTmuxKeysAdded) {
  const auto lines = test::readLines(test::fixturePath("claude-code-2.1.222/hooks.ndjson"));
  ASSERT_GE(lines.size(), 20u);
  std::vector<std::string> expected;
  for (const std::string& line : lines) {
    const std::string bare = withoutTmuxKeys(line);
    runRelay(bare, std::pair{"%7", "/tmp/tmux-1000/work,31337,2"});
    HookPayload payload = HookPayload::decode(bare);
    payload.tmuxPane = "%7";
    payload.tmuxEnv = "/tmp/tmux-1000/work,31337,2";
    expected.push_back(json::serialize(payload.toJson()));
  }
  ASSERT_TRUE(inbox.waitForPayloads(lines.size()));

  std::vector<std::string> received;
  for (const HookPayload& p : inbox.payloads()) {
    received.push_back(json::serialize(p.toJson()));
    EXPECT_EQ(p.tmuxSocketPath(), "/tmp/tmux-1000/work");
  }
  std::sort(expected.begin(), expected.end());
  std::sort(received.begin(), received.end());
  EXPECT_EQ(received, expected);
  EXPECT_EQ(inbox.errorCount(), 0u);
  for (const std::string& raw : inbox.lines())
    EXPECT_EQ(raw.find('\n'), std::string::npos);
}

// Bad input still reaches the listener, which reports it; only input of
// nothing at all is dropped. The relay exits 0 either way.
TEST_F(RelayProcessTest, BadInputIsReportedByTheListenerAndTheRelayStillExitsZero) {
  for (const char* input : {"", " \n", "garbage", "[1,2,3]", "{\"truncated\":", "\"just a string\"",
                            "{\"a\":\"\\ud83d\"}"})
    runRelay(input, std::pair{"%1", "s,1,1"});
  ASSERT_TRUE(inbox.waitForErrors(5));
  for (const HookIngestError& error : inbox.errors())
    EXPECT_EQ(error.kind(), HookIngestError::Kind::undecodable) << error.what();
  expectOnlySentinelArrives(0, 5);
}

TEST_F(RelayProcessTest, WithoutAListenerTheRelayExitsZeroAndSendsNothing) {
  runRelay(test::hookLine("Stop", "lost"), std::nullopt,
           {{"PARLEY_SOCKET", (dir / "nobody-here.sock").string()}});
  runRelay(test::hookLine("Stop", "lost"), std::nullopt,
           {{"PARLEY_SOCKET", "/" + std::string(200, 'p')}});
  runRelay(test::hookLine("Stop", "lost"), std::nullopt, {{"PARLEY_SOCKET", ""}});
  expectOnlySentinelArrives(0);
}

TEST_F(RelayProcessTest, GivesUpOnAStdinThatNeverEnds) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::write(fds[1], "{\"hook_event_name\":\"Stop\"}", 26), 26);
  const pid_t pid =
      test::spawnProcess({.argv = {test::binPath("parley-hook").string()},
                          .env = test::environmentWith({{"PARLEY_SOCKET", socketPath.string()}}),
                          .stdinFd = fds[0]});
  EXPECT_EQ(test::waitForExit(pid), 0);  // on its own, the pipe still open
  ::close(fds[0]);
  ::close(fds[1]);
  expectOnlySentinelArrives(0);
}

TEST_F(RelayProcessTest, GivesUpOnAListenerThatNeverAccepts) {
  const auto stuckPath = dir / "stuck.sock";
  const int stuck = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, stuckPath.c_str());
  ASSERT_EQ(::bind(stuck, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(stuck, 0), 0);
  std::vector<int> fillers;
  while (true) {
    const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(filler);
      break;
    }
    fillers.push_back(filler);
  }
  runRelay(test::hookLine("Stop", "stuck"), std::nullopt, {{"PARLEY_SOCKET", stuckPath.string()}});
  for (const int fd : fillers)
    ::close(fd);
  ::close(stuck);
}

TEST_F(RelayProcessTest, TwoHundredConcurrentRelaysAllArrive) {
  constexpr int kRelays = 200;
  std::vector<pid_t> pids;
  // The pane is appended, not prepended: GCC 12 at -O2 misreads
  // "%" + std::to_string(n) as an overlapping copy (-Wrestrict).
  for (int i = 0; i < kRelays; ++i)
    pids.push_back(startRelay(test::hookLine("PostToolUse", std::to_string(i)),
                              std::pair{std::string("%").append(std::to_string(i)), "s,1,1"}));
  for (const pid_t pid : pids)
    EXPECT_EQ(test::waitForExit(pid), 0);

  ASSERT_TRUE(inbox.waitForPayloads(kRelays));
  std::vector<int> ids;
  for (const HookPayload& p : inbox.payloads()) {
    ids.push_back(std::stoi(*p.sessionID));
    EXPECT_EQ(p.tmuxPane, "%" + *p.sessionID);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<int> expected(kRelays);
  for (int i = 0; i < kRelays; ++i)
    expected[i] = i;
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(inbox.errorCount(), 0u);
}

// An event larger than the listener once took (4 MiB) arrives whole; one
// larger than the relay reads is not sent, and neither holds up the others.
// The relay's code runs in this process with a generous deadline: how long a
// sanitizer build under load takes to copy megabytes is no business of this
// test, and the budget is the same code for every size.
TEST_F(RelayProcessTest, ALargeEventArrivesAndAnOversizeOneCostsOnlyItself) {
  const std::string prefix = R"({"hook_event_name":"PostToolUse","tool_response":")";
  const auto relayInProcess = [&](std::size_t size) {
    const auto file = dir / ("event-" + std::to_string(size));
    test::writeFile(file, prefix + std::string(size - prefix.size() - 2, 'r') + "\"}");
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    relay::run(fd, socketPath.string(), "%1", "s,1,1",
               relay::Clock::now() + std::chrono::minutes(1));
    ::close(fd);
  };
  const std::size_t large = 8 * 1024 * 1024;
  relayInProcess(large);
  relayInProcess(relay::kMaxInput + 1);
  runRelay(test::hookLine("Stop", "small"));
  ASSERT_TRUE(inbox.waitForPayloads(2));
  std::size_t largest = 0;
  for (const auto& payload : inbox.payloads())
    largest =
        std::max(largest, payload.toolResponse ? payload.toolResponse->stringValue()->size() : 0);
  EXPECT_EQ(largest, large - prefix.size() - 2);
  expectOnlySentinelArrives(2);
}

}  // namespace
}  // namespace parley
