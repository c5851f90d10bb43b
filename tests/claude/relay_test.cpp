#include "relay/relay.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/json.hpp>

#include "claude/hook_test_support.hpp"
#include "claude/worker_pool.hpp"
#include "support/test_support.hpp"

namespace parley::relay {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

json::object parsedLine(const std::string& line) {
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only";
  return json::parse(line).as_object();
}

TEST(RelayComposeLine, AddsTheTmuxKeysAndKeepsEverythingElse) {
  const std::string input =
      "{\n  \"hook_event_name\": \"PreToolUse\",\n  \"tool_input\": {\"command\": \"ls \\\"a b\\\"\\n\"},"
      "\n  \"prompt\": \"caf\\u00e9 \xE2\x9C\x93 / \\\\\",\n  \"n\": 1.5e3\n}\n";
  const auto line = composeLine(input, "%3", "/tmp/tmux-1000/default,4208,0");
  ASSERT_TRUE(line);
  json::object expected = json::parse(input).as_object();
  expected["tmux_pane"] = "%3";
  expected["tmux_env"] = "/tmp/tmux-1000/default,4208,0";
  EXPECT_EQ(parsedLine(*line), expected);
  const std::string tail = R"(,"tmux_pane":"%3","tmux_env":"/tmp/tmux-1000/default,4208,0"})"
                           "\n";
  EXPECT_TRUE(line->ends_with(tail)) << *line;
}

TEST(RelayComposeLine, ReplacesStaleTmuxKeysAndAddsNothingOutsideTmux) {
  const std::string input = R"({"tmux_pane":"%old","hook_event_name":"Stop","tmux_env":"old"})";
  EXPECT_EQ(*composeLine(input, "%1", "sock,1,2"),
            R"({"tmux_pane":"%1","hook_event_name":"Stop","tmux_env":"sock,1,2"})"
            "\n");
  EXPECT_EQ(*composeLine(R"({ "hook_event_name" : "Stop" })", nullptr, nullptr),
            R"({"hook_event_name":"Stop"})"
            "\n");
  EXPECT_EQ(*composeLine(R"({"hook_event_name":"Stop"})", "", nullptr),
            R"({"hook_event_name":"Stop","tmux_pane":""})"
            "\n");
}

TEST(RelayComposeLine, SendsNothingForInputThatIsNotAJsonObject) {
  for (const char* input : {"", "   ", "not json", "[1,2]", "\"text\"", "42", "{\"a\":",
                            "{\"a\":1} {\"b\":2}", "{\"a\":\"\xFF\"}"}) {
    EXPECT_FALSE(composeLine(input, "%1", "x")) << input;
  }
}

TEST(RelayReadAll, ReadsToTheEndButGivesUpAtTheDeadlineOrTheLimit) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::write(fds[1], "{\"a\":1}", 7), 7);
  // The writer stays open: the relay must not wait for it past the deadline.
  EXPECT_FALSE(readAll(fds[0], Clock::now() + 100ms));
  ::close(fds[1]);
  EXPECT_EQ(readAll(fds[0], Clock::now() + 10s), "");  // the 7 bytes were consumed above
  ::close(fds[0]);

  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
  ::close(fds[1]);
  EXPECT_FALSE(readAll(fds[0], Clock::now() + 10s, 9));
  ::close(fds[0]);

  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
  ::close(fds[1]);
  EXPECT_EQ(readAll(fds[0], Clock::now() + 10s, 10), "0123456789");
  ::close(fds[0]);

  EXPECT_FALSE(readAll(-1, Clock::now() + 10s));
}

TEST(RelaySendLine, DeliversToAListenerAndGivesUpOnMissingOrStuckOnes) {
  test::TempDir dir;
  test::WorkerPool pool;
  test::Inbox inbox;
  auto ingest = claude::HookIngest::create(pool.executor(), dir / "hook.sock");
  inbox.attach(*ingest);
  ingest->start();
  EXPECT_TRUE(sendLine((dir / "hook.sock").string(), test::hookLine("Stop", "s") + "\n",
                       Clock::now() + 10s));
  ASSERT_TRUE(inbox.waitForPayloads(1));
  EXPECT_EQ(inbox.payloads()[0].sessionID, "s");

  EXPECT_FALSE(sendLine((dir / "missing.sock").string(), "{}\n", Clock::now() + 10s));
  EXPECT_FALSE(sendLine("", "{}\n", Clock::now() + 10s));
  EXPECT_FALSE(sendLine("/" + std::string(107, 'x'), "{}\n", Clock::now() + 10s));

  // A listener that never accepts, with its backlog full: connect() would
  // wait for room forever without the deadline.
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
  EXPECT_FALSE(sendLine(stuckPath.string(), "{}\n", Clock::now() + 100ms));
  for (const int fd : fillers)
    ::close(fd);
  ::close(stuck);
}

}  // namespace
}  // namespace parley::relay
