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

// ---- EventRing ---------------------------------------------------------------

TEST(EventRing, FreshRingReplaysNothingAndOnlyAResumeFromTheFutureIsAGap) {
  const EventRing ring;
  EXPECT_EQ(ring.latestSeq(), 0u);
  EXPECT_TRUE(ring.isEmpty());

  auto r = ring.replay(std::nullopt);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_FALSE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 0u);

  r = ring.replay(0);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_FALSE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 0u);

  r = ring.replay(5);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 0u);
}

TEST(EventRing, CapacityKeepsTheNewestAndAResumeBehindThemIsAGap) {
  EventRing ring(3);
  for (int i = 0; i < 5; ++i) {
    const auto entry = ring.append(vocab(std::to_string(i)), kT0 + seconds(i));
    EXPECT_EQ(entry.seq, static_cast<std::uint64_t>(i + 1));
    EXPECT_EQ(entry.envelope(), ServerEnvelope(i + 1, kT0 + seconds(i), vocab(std::to_string(i))));
  }
  EXPECT_EQ(seqs({ring.entries().begin(), ring.entries().end()}),
            (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(ring.lowestRetainedSeq(), 3u);

  auto r = ring.replay(2);
  EXPECT_EQ(seqs(r.entries), (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_FALSE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 2u);

  r = ring.replay(1);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 5u);

  r = ring.replay(5);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_FALSE(r.gap);
  EXPECT_EQ(r.resumedFromSeq, 5u);

  r = ring.replay(4);
  EXPECT_EQ(seqs(r.entries), (std::vector<std::uint64_t>{5}));
}

TEST(EventRing, OldEntriesAreDroppedAtTheNextAppendEvenWhenNotFull) {
  EventRing ring(100, minutes(30));
  ring.append(vocab(), kT0);
  ring.append(vocab(), kT0 + minutes(1));
  ring.append(vocab(), kT0 + minutes(31));  // the first is now older than the window
  EXPECT_EQ(ring.count(), 2u);
  EXPECT_EQ(ring.lowestRetainedSeq(), 2u);
  EXPECT_TRUE(ring.replay(0).gap);
  EXPECT_FALSE(ring.replay(1).gap);
  // An entry exactly at the cutoff stays.
  ring.prune(kT0 + minutes(31));
  EXPECT_EQ(ring.count(), 2u);
}

TEST(EventRing, WhenEverythingAgesOutTheRingStaysResumableAtItsLatestSeq) {
  EventRing ring(100, minutes(30));
  ring.append(vocab(), kT0);
  ring.append(vocab(), kT0 + seconds(1));
  ring.prune(kT0 + hours(2));
  EXPECT_TRUE(ring.isEmpty());
  EXPECT_EQ(ring.lowestRetainedSeq(), ring.nextSeq());
  const auto r = ring.replay(ring.latestSeq());
  EXPECT_FALSE(r.gap);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_TRUE(ring.replay(1).gap);
  // Numbering continues where it was.
  EXPECT_EQ(ring.append(vocab(), kT0 + hours(2)).seq, 3u);
}

TEST(EventRing, ACapacityBelowOneBecomesOne) {
  EventRing ring(0);
  ring.append(vocab(), kT0);
  ring.append(vocab(), kT0);
  EXPECT_EQ(ring.count(), 1u);
  EXPECT_EQ(ring.entries().front().seq, 2u);
}

// ---- SendQueue ----------------------------------------------------------------

ServerEnvelope env(ServerMessage m, std::uint64_t seq = 1) {
  return ServerEnvelope(seq, kT0, std::move(m));
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

  EXPECT_EQ(q.push(env(permissionRequest(), 4)), std::vector<std::string>{"tool_started"});
  EXPECT_EQ(q.count(), 3u);
  // The older of the two tool_started went; order of the rest is kept.
  std::vector<std::uint64_t> order;
  for (const auto& e : q.items())
    order.push_back(e.seq);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{1, 3, 4}));

  EXPECT_EQ(q.push(env(vocab(), 5)), std::vector<std::string>{"tool_started"});
  EXPECT_EQ(q.push(env(vocab(), 6)), std::vector<std::string>{"vocab"});
  EXPECT_EQ(q.push(env(permissionRequest(), 7)), std::vector<std::string>{"vocab"});
  EXPECT_EQ(q.push(env(permissionRequest(), 8)), std::vector<std::string>{"session_update"});
  EXPECT_EQ(q.popFirst()->seq, 4u);
  EXPECT_EQ(q.popFirst()->seq, 7u);
  EXPECT_EQ(q.popFirst()->seq, 8u);
  EXPECT_EQ(q.popFirst(), std::nullopt);
}

TEST(SendQueue, UnsheddableMessagesOverflowTheCapacityAndSheddableOnesAreRefused) {
  SendQueue q(2);
  q.push(env(permissionRequest()));
  q.push(env(permissionRequest()));
  EXPECT_EQ(q.push(env(vocab())), std::vector<std::string>{"vocab"});
  EXPECT_EQ(q.count(), 2u);
  EXPECT_TRUE(q.push(env(permissionRequest())).empty());
  EXPECT_EQ(q.count(), 3u);
}

TEST(SendQueue, AQueueGrownPastItsLimitIsTrimmedBackByShedding) {
  SendQueue q(2);
  q.push(env(vocab()));
  q.push(env(toolStarted()));
  q.push(env(permissionRequest()));  // sheds tool_started
  q.push(env(permissionRequest()));  // sheds vocab
  q.push(env(permissionRequest()));  // nothing to shed: grows to 3
  ASSERT_EQ(q.count(), 3u);
  // Nothing sheddable is left, so a new sheddable message is itself refused.
  EXPECT_EQ(q.push(env(sessionUpdate())), std::vector<std::string>{"session_update"});
  q.removeAll();
  EXPECT_TRUE(q.isEmpty());
}

TEST(SendQueue, ACapacityBelowOneBecomesOne) {
  SendQueue q(0);
  EXPECT_TRUE(q.push(env(vocab())).empty());
  EXPECT_EQ(q.push(env(toolStarted())), std::vector<std::string>{"vocab"});
  EXPECT_EQ(q.count(), 1u);
}

// ---- IdempotencyCache -----------------------------------------------------------

TEST(IdempotencyCache, AKeyIsADuplicateForExactlyTheTtl) {
  IdempotencyCache cache(Seconds(600));
  EXPECT_TRUE(cache.shouldProcess("a", kT0));
  EXPECT_FALSE(cache.shouldProcess("a", kT0 + seconds(599)));
  // A duplicate does not refresh the time the key was accepted.
  EXPECT_TRUE(cache.shouldProcess("a", kT0 + seconds(600)));
  EXPECT_FALSE(cache.shouldProcess("a", kT0 + seconds(601)));
  EXPECT_TRUE(cache.shouldProcess("b", kT0 + seconds(601)));
}

TEST(IdempotencyCache, PruneForgetsOnlyExpiredKeys) {
  IdempotencyCache cache(Seconds(10));
  cache.shouldProcess("old", kT0);
  cache.shouldProcess("new", kT0 + seconds(5));
  cache.prune(kT0 + seconds(10));
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_FALSE(cache.shouldProcess("new", kT0 + seconds(10)));
  EXPECT_TRUE(cache.shouldProcess("old", kT0 + seconds(10)));
}

}  // namespace
}  // namespace parley::link
