#include "protocol/envelope.hpp"

#include <gtest/gtest.h>

namespace parley::protocol {
namespace {

using namespace std::chrono;

const Date kTs = sys_days{2025y / January / 31} + 9h + 15min;

TEST(Envelopes, ServerEnvelopeWritesKeysInWireOrder) {
  const ServerEnvelope e(42, kTs + 999ms, Pong{.echo = "n"});
  EXPECT_EQ(e.encode(),
            R"({"v":1,"seq":42,"ts":"2025-01-31T09:15:00Z","type":"pong","payload":{"echo":"n"}})");
  EXPECT_EQ(ServerEnvelope::decode(e.encode()), ServerEnvelope(42, kTs, Pong{.echo = "n"}));
}

TEST(Envelopes, ReadersDoNotDependOnKeyOrder) {
  const ServerEnvelope e = ServerEnvelope::decode(
      R"({"payload":{"count":2,"kinds":["vocab"]},"type":"dropped","ts":"2025-01-31T09:15:00Z","seq":18446744073709551615,"v":1})");
  EXPECT_EQ(e.seq, UINT64_MAX);
  EXPECT_EQ(std::get<Dropped>(e.message).count, 2);
}

TEST(Envelopes, EverySingleFieldMessageStillHasAPayloadObject) {
  const ClientEnvelope e(kTs, Interrupt{.sessionID = "s"});
  EXPECT_EQ(
      e.encode(),
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"interrupt","payload":{"sessionID":"s"}})");
  EXPECT_EQ(ClientEnvelope::decode(e.encode()), e);
}

TEST(Envelopes, OptionalNullDecodesLikeAbsence) {
  const auto a = ClientEnvelope::decode(
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"submit_prompt","payload":{"clientMsgID":"c","sessionID":"s","text":"t","submit":true,"confidence":null}})");
  const auto b = ClientEnvelope::decode(
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"submit_prompt","payload":{"clientMsgID":"c","sessionID":"s","text":"t","submit":true}})");
  EXPECT_EQ(a, b);
}

TEST(Envelopes, UnknownTypeIsItsOwnErrorCarryingTheType) {
  try {
    ServerEnvelope::decode(
        R"({"v":1,"seq":1,"ts":"2025-01-31T09:15:00Z","type":"Pong","payload":{"echo":"n"}})");
    FAIL();
  } catch (const UnknownMessageType& e) {
    EXPECT_EQ(e.type(), "Pong");
    EXPECT_STREQ(e.what(), "unknown wire message type: Pong");
  }
  // Even without a payload, a newer phone's message is reported as unknown.
  EXPECT_THROW(ClientEnvelope::decode(R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"dance"})"),
               UnknownMessageType);
}

TEST(Envelopes, VersionIsLeftForTheReceiverToJudge) {
  const auto e = ClientEnvelope::decode(
      R"({"v":2,"ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})");
  EXPECT_EQ(e.v, 2);
}

TEST(Envelopes, AnyOtherFlawFailsTheWholeEnvelope) {
  const char* bad[] = {
      R"({"v":1,"ts":"2025-01-31T09:15:00.250Z","type":"ping","payload":{"nonce":"x"}})",
      R"({"v":1,"ts":"2025-01-31T09:15:00","type":"ping","payload":{"nonce":"x"}})",
      R"({"v":1,"ts":"1012-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})",
      R"({"ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})",
      R"({"v":"1","ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"}})",
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"ping"})",
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"ping","payload":{}})",
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":7,"payload":{"nonce":"x"}})",
      R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"ping","payload":{"nonce":"x"})",
      R"([1,2])",
      "",
  };
  for (const char* text : bad) {
    EXPECT_THROW(ClientEnvelope::decode(text), DecodeError) << text;
  }
  // A server envelope needs its sequence number.
  EXPECT_THROW(ServerEnvelope::decode(
                   R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"pong","payload":{"echo":"x"}})"),
               DecodeError);
}

TEST(Envelopes, ErrorsSayWhereThePayloadWentWrong) {
  try {
    ClientEnvelope::decode(
        R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"get_pane","payload":{"sessionID":"s"}})");
    FAIL();
  } catch (const DecodeError& e) {
    EXPECT_STREQ(e.what(), "ClientEnvelope.payload: GetPane.lines: missing");
  }
}

}  // namespace
}  // namespace parley::protocol
