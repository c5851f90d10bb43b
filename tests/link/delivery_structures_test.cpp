#include <gtest/gtest.h>

#include "link/event_ring.hpp"
#include "link/idempotency_cache.hpp"
#include "link/send_queue.hpp"

namespace parley::link {
namespace {

using namespace std::chrono;
using protocol::ServerEnvelope;
using protocol::ServerMessage;

const Date kT0 = sys_days{2025y / January / 31} + 9h;

ServerMessage vocab(std::string session = "s") {
  return protocol::Vocab{.sessionID = std::move(session)};
}
ServerMessage toolStarted() {
  return protocol::ToolStarted{.sessionID = "s", .toolUseID = "t"};
}
ServerMessage sessionUpdate() {
  return protocol::SessionUpdate{};
}
ServerMessage permissionRequest() {
  return protocol::PermissionRequest{.sessionID = "s", .requestID = "r"};
}

std::vector<std::uint64_t> seqs(const std::vector<EventRing::Entry>& entries) {
  std::vector<std::uint64_t> out;
  for (const auto& e : entries)
    out.push_back(e.seq);
  return out;
}

std::vector<std::uint64_t> kept(const EventRing& ring) {
  return seqs({ring.entries().begin(), ring.entries().end()});
}

// ---- EventRing ---------------------------------------------------------------

struct ReplayCase {
  std::optional<std::uint64_t> after;
  std::vector<std::uint64_t> entries;
  bool gap;
  std::uint64_t resumedFromSeq;
};

void expectReplays(const EventRing& ring, const std::vector<ReplayCase>& cases) {
  for (const auto& [after, entries, gap, resumed] : cases) {
    const auto r = ring.replay(after);
    const std::string name = after ? std::to_string(*after) : "none";
    EXPECT_EQ(seqs(r.entries), entries) << "after " << name;
    EXPECT_EQ(r.gap, gap) << "after " << name;
    EXPECT_EQ(r.resumedFromSeq, resumed) << "after " << name;
  }
}

TEST(EventRing, ReplaysWhatWasMissedAndOnlyAResumeBehindOrAheadOfItIsAGap) {
  EventRing fresh;
  EXPECT_EQ(fresh.latestSeq(), 0u);
  expectReplays(fresh, {{std::nullopt, {}, false, 0}, {0, {}, false, 0}, {5, {}, true, 0}});

  EventRing ring(3);
  for (int i = 0; i < 5; ++i) {
    const auto entry = ring.append(vocab(std::to_string(i)), kT0 + seconds(i));
    EXPECT_EQ(entry.envelope(), ServerEnvelope(i + 1, kT0 + seconds(i), vocab(std::to_string(i))));
  }
  EXPECT_EQ(kept(ring), (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(ring.lowestRetainedSeq(), 3u);
  expectReplays(ring, {{2, {3, 4, 5}, false, 2},
                       {4, {5}, false, 4},
                       {5, {}, false, 5},
                       {1, {}, true, 5},
                       {6, {}, true, 5},
                       {std::nullopt, {}, false, 5}});

  EventRing one(0);  // a capacity below 1 becomes 1
  one.append(vocab(), kT0);
  one.append(vocab(), kT0);
  EXPECT_EQ(kept(one), std::vector<std::uint64_t>{2});
}

TEST(EventRing, EntriesOlderThanTheWindowGoAtTheNextAppendAndTheRingStaysResumable) {
  EventRing ring(100, minutes(30));
  ring.append(vocab(), kT0);
  ring.append(vocab(), kT0 + minutes(1));
  ring.append(vocab(), kT0 + minutes(31));  // the first is now older than the window
  EXPECT_EQ(kept(ring), (std::vector<std::uint64_t>{2, 3}));
  ring.prune(kT0 + minutes(31));  // one exactly at the cutoff stays
  EXPECT_EQ(ring.count(), 2u);
  expectReplays(ring, {{0, {}, true, 3}, {1, {2, 3}, false, 1}});

  ring.prune(kT0 + hours(2));
  EXPECT_TRUE(ring.isEmpty());
  EXPECT_EQ(ring.lowestRetainedSeq(), ring.nextSeq());
  expectReplays(ring, {{3, {}, false, 3}, {1, {}, true, 3}});
  EXPECT_EQ(ring.append(vocab(), kT0 + hours(2)).seq, 4u);  // numbering continues
}

TEST(EventRing, BytesAreBoundedTooOldestFirstAndAReplayPastThemIsAGap) {
  const auto sized = [](std::size_t n, char c) {
    return ServerMessage(protocol::Vocab{.sessionID = std::string(n, c)});
  };
  const std::size_t one = ServerEnvelope(1, kT0, sized(1000, 'a')).encode().size();
  EventRing ring(100, minutes(30), 3 * one + one / 2);
  for (int i = 0; i < 5; ++i)
    ring.append(sized(1000, static_cast<char>('a' + i)), kT0);
  EXPECT_EQ(kept(ring), (std::vector<std::uint64_t>{3, 4, 5}));
  expectReplays(ring, {{1, {}, true, 5}, {2, {3, 4, 5}, false, 2}});
  // One message over the whole bound is still kept while it is the newest.
  ring.append(sized(10 * one, 'z'), kT0);
  EXPECT_EQ(kept(ring), std::vector<std::uint64_t>{6});
  ring.append(sized(1, 'y'), kT0);
  EXPECT_EQ(kept(ring), std::vector<std::uint64_t>{7});
  EXPECT_LT(ring.bytes(), one);
}

// ---- SendQueue ----------------------------------------------------------------

ServerEnvelope env(ServerMessage m, std::uint64_t seq = 1) {
  return ServerEnvelope(seq, kT0, std::move(m));
}

// "type@seq" of each shed envelope.
std::vector<std::string> shed(const std::vector<ServerEnvelope>& envelopes) {
  std::vector<std::string> out;
  for (const auto& e : envelopes)
    out.push_back(std::string(e.message.type()) + "@" + std::to_string(e.seq));
  return out;
}

TEST(SendQueue, OnlyProgressSnapshotsVocabularyAndSessionListsAreSheddable) {
  EXPECT_EQ(sheddingRank(toolStarted()), 0);
  EXPECT_EQ(sheddingRank(protocol::ToolFinished{}), 0);
  EXPECT_EQ(sheddingRank(protocol::PaneSnapshot{}), 1);
  EXPECT_EQ(sheddingRank(vocab()), 1);
  EXPECT_EQ(sheddingRank(sessionUpdate()), 2);
  for (const ServerMessage& m :
       {ServerMessage(protocol::TermFrame{}), ServerMessage(protocol::Dropped{}),
        ServerMessage(protocol::Failure{}), ServerMessage(protocol::Pong{}),
        ServerMessage(protocol::HelloAck{}), permissionRequest()})
    EXPECT_EQ(sheddingRank(m), std::nullopt) << m.type();
}

TEST(SendQueue, AFullQueueShedsTheLowestRankFirstOldestAmongEquals) {
  SendQueue q(3);
  EXPECT_TRUE(q.push(env(sessionUpdate(), 1)).empty());
  EXPECT_TRUE(q.push(env(toolStarted(), 2)).empty());
  EXPECT_TRUE(q.push(env(toolStarted(), 3)).empty());
  struct Step {
    ServerMessage message;
    std::vector<std::string> shed;
  };
  const std::vector<Step> steps = {{permissionRequest(), {"tool_started@2"}},  // the older one
                                   {vocab(), {"tool_started@3"}},
                                   {vocab(), {"vocab@5"}},
                                   {permissionRequest(), {"vocab@6"}},
                                   {permissionRequest(), {"session_update@1"}}};
  std::uint64_t seq = 4;
  for (const auto& [message, expected] : steps)
    EXPECT_EQ(shed(q.push(env(message, seq++))), expected) << seq - 1;
  // The order of what remains is kept.
  for (const std::uint64_t expected : {4u, 7u, 8u})
    EXPECT_EQ(q.popFirst()->seq, expected);
  EXPECT_EQ(q.popFirst(), std::nullopt);
}

TEST(SendQueue, UnsheddableMessagesOverflowAndTheQueueIsTrimmedBackByShedding) {
  SendQueue q(2);
  q.push(env(vocab(), 1));
  q.push(env(toolStarted(), 2));
  EXPECT_EQ(shed(q.push(env(permissionRequest(), 3))), std::vector<std::string>{"tool_started@2"});
  EXPECT_EQ(shed(q.push(env(permissionRequest(), 4))), std::vector<std::string>{"vocab@1"});
  EXPECT_TRUE(q.push(env(permissionRequest(), 5)).empty());  // nothing to shed: grows to 3
  ASSERT_EQ(q.count(), 3u);
  // Nothing sheddable is left, so a new sheddable message is itself refused.
  EXPECT_EQ(shed(q.push(env(sessionUpdate(), 6))), std::vector<std::string>{"session_update@6"});
  q.removeAll();
  EXPECT_TRUE(q.isEmpty());

  SendQueue one(0);  // a capacity below 1 becomes 1
  EXPECT_TRUE(one.push(env(vocab())).empty());
  EXPECT_EQ(shed(one.push(env(toolStarted()))), std::vector<std::string>{"vocab@1"});
}

// ---- IdempotencyCache -----------------------------------------------------------

TEST(IdempotencyCache, AKeyIsADuplicateForExactlyTheTtl) {
  IdempotencyCache cache(Seconds(600));
  EXPECT_TRUE(cache.shouldProcess("a", kT0));
  EXPECT_FALSE(cache.shouldProcess("a", kT0 + seconds(599)));
  // A duplicate does not refresh the time the key was accepted.
  EXPECT_TRUE(cache.shouldProcess("a", kT0 + seconds(600)));
  EXPECT_FALSE(cache.shouldProcess("a", kT0 + seconds(601)));
  EXPECT_TRUE(cache.shouldProcess("b", kT0 + seconds(605)));
  cache.prune(kT0 + seconds(1200));
  EXPECT_EQ(cache.count(), 1u);  // "b" is not yet expired
  EXPECT_FALSE(cache.shouldProcess("b", kT0 + seconds(1200)));
}

TEST(IdempotencyCache, BeyondItsCountTheOldestKeysAreForgottenWithinTheTtl) {
  IdempotencyCache cache(Seconds(600), 3);
  for (const char* key : {"a", "b", "c", "d"})
    EXPECT_TRUE(cache.shouldProcess(key, kT0 + seconds(1)));
  EXPECT_EQ(cache.count(), 3u);
  for (const char* key : {"d", "c", "b"})
    EXPECT_FALSE(cache.shouldProcess(key, kT0 + seconds(2))) << key;
  EXPECT_TRUE(cache.shouldProcess("a", kT0 + seconds(2)));
}

}  // namespace
}  // namespace parley::link
