#include "claude/hook_ingest.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include "claude/hook_test_support.hpp"
#include "claude/ndjson_framer.hpp"
#include "claude/worker_pool.hpp"
#include "support/test_support.hpp"

namespace parley::claude {
namespace {

using protocol::HookPayload;
using test::connectTo;
using test::finishConnection;
using test::hookLine;
using test::sendAll;

class HookIngestTest : public ::testing::Test {
 protected:
  // Connections in these tests stay open as long as each test needs, unless
  // it sets its own limits.
  std::shared_ptr<HookIngest> startListener(
      const std::filesystem::path& path,
      std::chrono::milliseconds deadline = std::chrono::minutes(5),
      std::size_t maxConnections = 1024) {
    auto ingest = HookIngest::create(pool.executor(), path);
    ingest->setConnectionLimits(deadline, maxConnections);
    inbox.attach(*ingest);
    ingest->start();
    return ingest;
  }

  std::vector<std::string> sessionIDs() const {
    std::vector<std::string> ids;
    for (const HookPayload& p : inbox.payloads())
      ids.push_back(p.sessionID.value_or("?"));
    return ids;
  }

  test::TempDir dir;
  test::WorkerPool pool;
  test::Inbox inbox;
  std::filesystem::path socketPath = dir / "hook.sock";
};

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

TEST_F(HookIngestTest, DeliversLinesInOrderWhateverTheWritesLookLike) {
  auto ingest = startListener(socketPath);
  const int fd = connectTo(socketPath);
  ASSERT_GE(fd, 0);

  ASSERT_TRUE(sendAll(fd, hookLine("SessionStart", "1") + "\n" + hookLine("Stop", "2") + "\n"));
  const std::string third = hookLine("PreToolUse", "3");
  for (std::size_t i = 0; i < third.size(); i += 5) {
    ASSERT_TRUE(sendAll(fd, third.substr(i, 5)));
    std::this_thread::yield();
  }
  ASSERT_TRUE(sendAll(fd, "\r\n\n\n" + hookLine("Notification", "4")));  // no final line feed
  ASSERT_TRUE(finishConnection(fd));

  ASSERT_TRUE(inbox.waitForPayloads(4));
  EXPECT_EQ(sessionIDs(), (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(inbox.payloads()[2].hookEventName, HookPayload::Event::preToolUse);
  EXPECT_EQ(inbox.lines()[2], third + "\r");
  EXPECT_EQ(inbox.lines()[3], hookLine("Notification", "4"));
  EXPECT_EQ(inbox.errorCount(), 0u);
}

TEST_F(HookIngestTest, UndecodableLinesAreReportedAndLaterLinesStillArrive) {
  auto ingest = startListener(socketPath);
  const int fd = connectTo(socketPath);
  ASSERT_TRUE(sendAll(fd, "not json\n{\"hook_event_name\":\"SubagentStop\"}\n[1,2]\n" +
                              hookLine("Stop", "after") + "\n"));
  ASSERT_TRUE(finishConnection(fd));

  ASSERT_TRUE(inbox.waitForPayloads(1));
  ASSERT_TRUE(inbox.waitForErrors(3));
  EXPECT_EQ(sessionIDs(), (std::vector<std::string>{"after"}));
  const auto errors = inbox.errors();
  ASSERT_EQ(errors.size(), 3u);
  for (const HookIngestError& e : errors)
    EXPECT_EQ(e.kind(), HookIngestError::Kind::undecodable);
  EXPECT_EQ(errors[0].line(), "not json");
  EXPECT_EQ(std::string(errors[0].what()).rfind("undecodable hook payload (8 bytes): ", 0), 0u)
      << errors[0].what();
  EXPECT_NE(std::string(errors[1].what()).find("SubagentStop"), std::string::npos);
  EXPECT_EQ(std::string(errors[2].what()).rfind("undecodable hook payload (5 bytes): ", 0), 0u);
}

TEST_F(HookIngestTest, OversizeLineResetsOnlyItsOwnConnection) {
  auto ingest = startListener(socketPath);

  // A line of exactly the limit is still taken.
  const std::string prefix = "{\"hook_event_name\":\"Stop\",\"message\":\"";
  std::string largest =
      prefix + std::string(NDJSONFramer::maxFrame - prefix.size() - 2, 'm') + "\"}";
  ASSERT_EQ(largest.size(), NDJSONFramer::maxFrame);

  const int bystander = connectTo(socketPath);
  ASSERT_TRUE(sendAll(bystander, "{\"hook_event_name\":\"Stop\","));

  const int large = connectTo(socketPath);
  const int oversize = connectTo(socketPath);
  ASSERT_TRUE(sendAll(large, largest));
  ASSERT_TRUE(sendAll(oversize, hookLine("Stop", "before") + "\n" + largest));
  sendAll(oversize, "x");  // the listener may already be gone
  ASSERT_TRUE(test::peerClosed(oversize));
  ::close(oversize);

  ASSERT_TRUE(inbox.waitForErrors(1));
  EXPECT_EQ(inbox.errors()[0].kind(), HookIngestError::Kind::frameOverflow);
  EXPECT_EQ(inbox.errors()[0].what(), "hook line refused: longer than " +
                                          std::to_string(NDJSONFramer::maxFrame) +
                                          " bytes; its connection was closed");

  ASSERT_TRUE(sendAll(large, "\n"));
  ASSERT_TRUE(finishConnection(large));
  ASSERT_TRUE(sendAll(bystander, "\"session_id\":\"bystander\"}\n"));
  ASSERT_TRUE(finishConnection(bystander));

  ASSERT_TRUE(inbox.waitForPayloads(3));
  const auto payloads = inbox.payloads();
  EXPECT_EQ(payloads[0].sessionID, "before");  // cut before the overflow, still delivered
  EXPECT_EQ(payloads[1].message->size(), largest.size() - prefix.size() - 2);
  EXPECT_EQ(payloads[2].sessionID, "bystander");
  EXPECT_EQ(inbox.errorCount(), 1u);
}

TEST_F(HookIngestTest, ConnectionsThatNeverFinishAreClosedAtTheirDeadline) {
  auto ingest = startListener(socketPath, std::chrono::milliseconds(200));
  const int silent = connectTo(socketPath);
  const int partial = connectTo(socketPath);
  ASSERT_TRUE(sendAll(partial, "{\"hook_event_name\":"));
  EXPECT_TRUE(test::peerClosed(silent));
  EXPECT_TRUE(test::peerClosed(partial));
  ::close(silent);
  ::close(partial);
  ASSERT_TRUE(inbox.waitForErrors(1));
  EXPECT_EQ(inbox.errors()[0].kind(), HookIngestError::Kind::connectionTimedOut);
  EXPECT_NE(std::string(inbox.errors()[0].what()).find("of 19 bytes"), std::string::npos);

  const int prompt = connectTo(socketPath);
  ASSERT_TRUE(sendAll(prompt, hookLine("Stop", "after") + "\n"));
  ASSERT_TRUE(finishConnection(prompt));
  ASSERT_TRUE(inbox.waitForPayloads(1));
  EXPECT_EQ(inbox.errorCount(), 1u);
}

TEST_F(HookIngestTest, BeyondTheCapTheOldestConnectionMakesRoomForANewOne) {
  auto ingest = startListener(socketPath, std::chrono::minutes(5), 3);
  std::vector<int> idle;
  for (int i = 0; i < 5; ++i)
    idle.push_back(connectTo(socketPath));
  // Five connections, room for three: the first two are closed, once each
  // newer one is taken.
  EXPECT_TRUE(test::peerClosed(idle[0]));
  EXPECT_TRUE(test::peerClosed(idle[1]));
  ASSERT_TRUE(sendAll(idle[4], hookLine("Stop", "newest") + "\n"));
  ASSERT_TRUE(finishConnection(idle[4]));
  ASSERT_TRUE(inbox.waitForPayloads(1));
  EXPECT_EQ(inbox.payloads()[0].sessionID, "newest");
  ASSERT_EQ(inbox.errorCount(), 1u);
  EXPECT_EQ(inbox.errors()[0].kind(), HookIngestError::Kind::tooManyConnections);
  for (int i = 0; i < 4; ++i)
    ::close(idle[i]);
}

TEST_F(HookIngestTest, CallbacksRunOneAtATimeAndEveryConnectionArrives) {
  auto ingest = HookIngest::create(pool.executor(), socketPath);
  std::atomic<int> active{0};
  std::atomic<bool> overlapped{false};
  std::mutex mutex;
  std::vector<std::string> received;
  ingest->setOnPayload([&](const HookPayload& payload, const std::string&, HookIngest::Receipt) {
    if (active.fetch_add(1) != 0)
      overlapped = true;
    {
      std::lock_guard lock(mutex);
      received.push_back(*payload.sessionID);
    }
    active.fetch_sub(1);
  });
  ingest->start();

  constexpr int kClients = 8, kLinesEach = 50;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      const int fd = connectTo(socketPath);
      for (int i = 0; i < kLinesEach; ++i)
        sendAll(fd, hookLine("PostToolUse", std::to_string(c) + ":" + std::to_string(i)) + "\n");
      ::close(fd);
    });
  }
  for (std::thread& t : clients)
    t.join();

  ASSERT_TRUE(test::waitUntil([&] {
    std::lock_guard lock(mutex);
    return received.size() == kClients * kLinesEach;
  }));
  EXPECT_FALSE(overlapped);
  // Within one connection, lines keep their order.
  std::vector<int> next(kClients, 0);
  std::lock_guard lock(mutex);
  for (const std::string& id : received) {
    const int client = std::stoi(id.substr(0, id.find(':')));
    EXPECT_EQ(std::stoi(id.substr(id.find(':') + 1)), next[client]++) << id;
  }
}

// Writers faster than the consumer: at the bound the listener stops reading
// and the writers wait in the kernel; every line still arrives, once, as the
// consumer catches up.
TEST_F(HookIngestTest, AFloodWaitsInTheWritersOnceTheBacklogIsFullAndLosesNothing) {
  constexpr std::size_t kBound = 16;
  constexpr int kWriters = 8, kLinesEach = 60;
  constexpr std::size_t kTotal = kWriters * kLinesEach;
  auto ingest = HookIngest::create(pool.executor(), socketPath);
  ingest->setConnectionLimits(std::chrono::minutes(5), 64);
  ingest->setBacklogLimits(kBound, 64 * 1024 * 1024);
  inbox.attach(*ingest);  // for its errors
  std::mutex mutex;
  std::vector<HookIngest::Receipt> unfinished;  // the slow consumer's work
  std::set<std::string> received;
  ingest->setOnPayload(
      [&](const HookPayload& payload, const std::string&, HookIngest::Receipt receipt) {
        std::lock_guard lock(mutex);
        received.insert(*payload.sessionID);
        unfinished.push_back(std::move(receipt));
      });
  ingest->start();

  const std::string padding(4096, 'p');
  std::vector<std::thread> writers;
  // However the test ends, the writers blocked on a full socket are let go.
  const std::shared_ptr<void> joinWriters(nullptr, [&](void*) {
    ingest->stop();
    for (std::thread& t : writers)
      if (t.joinable())
        t.join();
  });
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const int fd = connectTo(socketPath);
      for (int i = 0; i < kLinesEach; ++i)
        sendAll(fd, "{\"hook_event_name\":\"Stop\",\"session_id\":\"" + std::to_string(w) + ":" +
                        std::to_string(i) + "\",\"message\":\"" + padding + "\"}\n");
      ::close(fd);
    });
  }
  std::size_t finished = 0;
  while (finished < kTotal) {
    const std::size_t due = std::min(kBound, kTotal - finished);
    ASSERT_TRUE(test::waitUntil([&] {
      std::lock_guard lock(mutex);
      return unfinished.size() >= due;
    })) << finished
        << " finished";
    std::lock_guard lock(mutex);
    EXPECT_EQ(ingest->backlog().lines, unfinished.size());
    ASSERT_LE(unfinished.size(), kBound);
    finished += unfinished.size();
    unfinished.clear();
  }
  EXPECT_EQ(finished, kTotal);
  EXPECT_EQ(received.size(), kTotal);
  EXPECT_EQ(inbox.errorCount(), 0u);
  const HookIngest::Backlog backlog = ingest->backlog();
  EXPECT_EQ(backlog.peakLines, kBound);
  EXPECT_EQ(backlog.lines, 0u);
  EXPECT_EQ(backlog.bytes, 0u);
}

TEST_F(HookIngestTest, SocketIsOwnerOnlyFromTheStartInAnOwnerOnlyDirectory) {
  const auto path = dir / "a" / "b" / "hook.sock";
  const mode_t maskBefore = ::umask(0);  // the most permissive mask a process can have
  auto ingest = startListener(path);
  const mode_t maskDuring = ::umask(maskBefore);
  EXPECT_EQ(maskDuring, 0u) << "start() must restore the creation mask";

  EXPECT_TRUE(S_ISSOCK(modeOf(path)));
  EXPECT_EQ(modeOf(path) & 07777, 0600u);
  EXPECT_EQ(modeOf(dir / "a") & 07777, 0700u);
  EXPECT_EQ(modeOf(dir / "a" / "b") & 07777, 0700u);
  EXPECT_EQ(ingest->path(), path);
}

TEST_F(HookIngestTest, PathOfExactlySunPathMinusOneBytesIsTheLimit) {
  ASSERT_EQ(HookIngest::maxPathBytes, 107u);
  auto pathOfLength = [&](std::size_t length) {
    const std::string base = (dir / "").string();
    return std::filesystem::path(base + std::string(length - base.size(), 's'));
  };

  const auto longest = pathOfLength(107);
  auto ingest = startListener(longest);
  EXPECT_TRUE(ingest->isListening());
  const int fd = connectTo(longest);
  ASSERT_TRUE(sendAll(fd, hookLine("Stop", "long") + "\n"));
  ASSERT_TRUE(finishConnection(fd));
  EXPECT_TRUE(inbox.waitForPayloads(1));

  const auto tooLong = pathOfLength(108);
  auto refused = HookIngest::create(pool.executor(), tooLong);
  try {
    refused->start();
    ADD_FAILURE() << "a 108-byte path must be refused";
  } catch (const HookIngestError& e) {
    EXPECT_EQ(e.kind(), HookIngestError::Kind::socketPathTooLong);
    EXPECT_EQ(std::string(e.what()), "socket path exceeds sun_path: " + tooLong.string());
  }
  EXPECT_FALSE(refused->isListening());
  EXPECT_FALSE(std::filesystem::exists(tooLong));
}

TEST_F(HookIngestTest, StartIsIdempotentStopRemovesTheSocketAndRestartWorks) {
  auto ingest = startListener(socketPath);
  struct stat first {};
  ASSERT_EQ(::stat(socketPath.c_str(), &first), 0);
  ingest->start();
  struct stat second {};
  ASSERT_EQ(::stat(socketPath.c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);

  const int open = connectTo(socketPath);
  ASSERT_GE(open, 0);
  ingest->stop();
  EXPECT_FALSE(ingest->isListening());
  EXPECT_FALSE(std::filesystem::exists(socketPath));
  EXPECT_TRUE(test::peerClosed(open)) << "stop() closes open connections";
  ::close(open);
  ingest->stop();

  ingest->start();
  const int fd = connectTo(socketPath);
  ASSERT_TRUE(sendAll(fd, hookLine("Stop", "again") + "\n"));
  ASSERT_TRUE(finishConnection(fd));
  ASSERT_TRUE(inbox.waitForPayloads(1));
  EXPECT_EQ(sessionIDs(), (std::vector<std::string>{"again"}));
}

TEST_F(HookIngestTest, ReplacesAStaleSocketButNeverAFileOrAnotherLiveListener) {
  {
    // A socket left behind by a run that died.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
  }
  auto live = startListener(socketPath);
  EXPECT_TRUE(live->isListening());

  auto second = HookIngest::create(pool.executor(), socketPath);
  try {
    second->start();
    ADD_FAILURE() << "a second listener must not take a live socket";
  } catch (const HookIngestError& e) {
    EXPECT_EQ(e.kind(), HookIngestError::Kind::bindFailed);
    EXPECT_EQ(std::string(e.what()),
              "bind(" + socketPath.string() + ") failed: Address already in use");
  }
  second.reset();  // its destruction must not remove the live socket either
  const int fd = connectTo(socketPath);
  ASSERT_TRUE(sendAll(fd, hookLine("Stop", "still-live") + "\n"));
  ASSERT_TRUE(finishConnection(fd));
  ASSERT_TRUE(inbox.waitForPayloads(1));

  const auto file = dir / "not-a-socket";
  test::writeFile(file, "precious");
  auto onFile = HookIngest::create(pool.executor(), file);
  EXPECT_THROW(onFile->start(), HookIngestError);
  EXPECT_EQ(test::readFile(file), "precious");
}

TEST_F(HookIngestTest, StartFailuresAreTypedAndLeaveNothingBehind) {
  test::writeFile(dir / "blocker", "");
  auto ingest = HookIngest::create(pool.executor(), dir / "blocker" / "sub" / "hook.sock");
  try {
    ingest->start();
    ADD_FAILURE() << "a socket directory under a file cannot be made";
  } catch (const HookIngestError& e) {
    EXPECT_EQ(e.kind(), HookIngestError::Kind::directoryFailed);
    EXPECT_EQ(std::string(e.what()).rfind("could not create socket directory: ", 0), 0u);
  }
  EXPECT_FALSE(ingest->isListening());

  auto empty = HookIngest::create(pool.executor(), "");
  EXPECT_THROW(empty->start(), HookIngestError);
  EXPECT_FALSE(empty->isListening());
}

TEST_F(HookIngestTest, DestroyedListenerClosesEverythingAndReportsNothingMore) {
  auto ingest = startListener(socketPath);
  const int fd = connectTo(socketPath);
  ASSERT_TRUE(sendAll(fd, "{\"hook_event_name\":"));
  ingest.reset();

  EXPECT_TRUE(test::peerClosed(fd));
  EXPECT_FALSE(sendAll(fd, "\"Stop\"}\n"));
  ::close(fd);
  EXPECT_FALSE(std::filesystem::exists(socketPath));
  EXPECT_EQ(inbox.payloadCount(), 0u);
  EXPECT_EQ(inbox.errorCount(), 0u);
}

}  // namespace
}  // namespace parley::claude
