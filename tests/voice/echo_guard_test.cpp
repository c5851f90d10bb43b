#include "voice/echo_guard.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

using Verdict = EchoGuard::Verdict;

EchoGuard::Instant at(double seconds) {
  return EchoGuard::Instant{EchoGuard::Seconds{seconds}};
}

// Heard while the device is still speaking, at t = 10 s.
Verdict heardWhileSpeaking(EchoGuard& guard, std::string_view text) {
  return guard.evaluate(text, true, std::nullopt, at(10.0));
}

TEST(EchoGuard, EmptyHistoryAcceptsWithScoreZero) {
  EchoGuard guard;
  EXPECT_EQ(heardWhileSpeaking(guard, "please run all the tests"), Verdict::accept());
  EXPECT_EQ(guard.maxAcceptedSimilarity(), 0.0);
  EXPECT_EQ(guard.suppressedCount(), 0);
}

TEST(EchoGuard, RepeatedNarrationIsEchoRegardlessOfCaseAndOrder) {
  EchoGuard guard;
  guard.recordSpoken("The build finished with two warnings.", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "two warnings the build finished with"), Verdict::echo(1.0));
  EXPECT_EQ(guard.suppressedCount(), 1);

  guard.recordSpoken("Die Stra\u00dfe ist gesperrt, caf\u00e9 geschlossen", at(9.5));
  EXPECT_EQ(heardWhileSpeaking(guard, "DIE STRA\u1E9EE IST GESPERRT CAFE\u0301 GESCHLOSSEN"),
            Verdict::echo(1.0));
  EXPECT_EQ(guard.suppressedCount(), 2);
}

TEST(EchoGuard, CommandsAlwaysGetThrough) {
  EchoGuard guard;
  guard.recordSpoken("stop", at(9.0));
  guard.recordSpoken("stop talking", at(9.5));
  EXPECT_EQ(heardWhileSpeaking(guard, "Stop!"), Verdict::accept());
  EXPECT_EQ(heardWhileSpeaking(guard, "stop talking"), Verdict::accept());
  // Long enough to be compared, and identical to what was spoken.
  guard.recordSpoken("Say that again", at(9.8));
  EXPECT_EQ(heardWhileSpeaking(guard, "say that again!"), Verdict::accept());
  EXPECT_EQ(guard.suppressedCount(), 0);
  EXPECT_EQ(guard.maxAcceptedSimilarity(), 0.0);
}

TEST(EchoGuard, OnlyJudgesWhileSpeakingOrWithinTheTail) {
  EchoGuard guard;
  guard.recordSpoken("running the full test suite now", at(5.0));
  const std::string_view same = "running the full test suite now";

  EXPECT_EQ(guard.evaluate(same, false, std::nullopt, at(6.0)), Verdict::accept());
  EXPECT_EQ(guard.evaluate(same, false, at(5.4), at(6.0)), Verdict::accept());  // 0.6 s later
  EXPECT_EQ(guard.suppressedCount(), 0);
  EXPECT_EQ(guard.maxAcceptedSimilarity(), 0.0);  // accepted without comparing

  EXPECT_EQ(guard.evaluate(same, false, at(5.5), at(6.0)), Verdict::echo(1.0));  // exactly 0.5 s
  EXPECT_EQ(guard.evaluate(same, false, at(5.8), at(6.0)), Verdict::echo(1.0));
  EXPECT_EQ(guard.evaluate(same, true, at(1.0), at(6.0)), Verdict::echo(1.0));
}

TEST(EchoGuard, ShortUtterancesAreAlwaysAccepted) {
  EchoGuard guard;
  guard.recordSpoken("tests pass", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "tests pass"), Verdict::accept());
  EXPECT_EQ(heardWhileSpeaking(guard, "tests, tests pass"), Verdict::echo(1.0));  // 3 with repeats

  // With no minimum at all, an utterance without words is still accepted.
  EchoGuard::Config config;
  config.minimumTokensForSimilarity = 0;
  EchoGuard lenient(config);
  lenient.recordSpoken("one two three", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(lenient, "... !"), Verdict::accept());
  EXPECT_EQ(lenient.maxAcceptedSimilarity(), 0.0);
}

TEST(EchoGuard, ContainmentNeedsAtLeastTwoRecords) {
  EchoGuard guard;
  guard.recordSpoken("alpha bravo charlie delta echo foxtrot golf hotel india juliet", at(9.0));
  // All of its words were spoken, but one record alone is judged by Jaccard.
  EXPECT_EQ(heardWhileSpeaking(guard, "charlie alpha bravo"), Verdict::accept());
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), 0.3);
  // Nine of ten words in another order: Jaccard alone says echo.
  EXPECT_EQ(heardWhileSpeaking(guard, "juliet india hotel golf foxtrot echo delta charlie bravo"),
            Verdict::echo(0.9));

  guard.recordSpoken("kilo lima", at(9.5));
  EXPECT_EQ(heardWhileSpeaking(guard, "charlie alpha bravo"), Verdict::echo(1.0));
}

TEST(EchoGuard, UtteranceStitchedFromSeveralRecordsIsEcho) {
  EchoGuard::Config config;
  config.similarityThreshold = 0.8;
  EchoGuard strict(config);
  strict.recordSpoken("run the tests", at(8.0));
  strict.recordSpoken("then commit the change", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(strict, "run the tests then commit"), Verdict::echo(1.0));

  EchoGuard guard;
  guard.recordSpoken("run the tests", at(8.0));
  guard.recordSpoken("then commit the change", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "run the tests then commit"), Verdict::echo(0.6));

  // The first record to reach the threshold gives the score, even when a
  // later one would match better.
  EchoGuard first;
  first.recordSpoken("run the tests", at(8.0));
  first.recordSpoken("run the tests then commit", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(first, "run the tests then commit"), Verdict::echo(0.6));

  EchoGuard three;
  three.recordSpoken("I opened the configuration file", at(7.0));
  three.recordSpoken("and replaced the port number", at(8.0));
  three.recordSpoken("now restarting the server", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(three, "opened configuration replaced port restarting server"),
            Verdict::echo(1.0));
  // One stranger in seven still clears 0.85; two in seven do not.
  EXPECT_EQ(heardWhileSpeaking(three, "opened configuration replaced port restarting server why"),
            Verdict::echo(6.0 / 7.0));
  EXPECT_EQ(heardWhileSpeaking(three, "opened configuration replaced port restarting why not"),
            Verdict::accept());
  EXPECT_EQ(three.suppressedCount(), 2);
}

TEST(EchoGuard, RepeatedWordsCountForContainmentButNotForJaccard) {
  EchoGuard guard;
  guard.recordSpoken("run the tests", at(8.0));
  guard.recordSpoken("then commit the change", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "tests tests tests tests tests tests novel"),
            Verdict::echo(6.0 / 7.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "tests novel other"), Verdict::accept());
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(),
                   0.2);  // {tests, novel, other} vs {run, the, tests}
}

TEST(EchoGuard, HistoryKeepsOnlyTheWindow) {
  EchoGuard guard;
  guard.recordSpoken("?!", at(100.0));
  EXPECT_TRUE(guard.history().empty());

  guard.recordSpoken("first record here", at(100.0));
  guard.recordSpoken("second record here", at(101.0));
  ASSERT_EQ(guard.history().size(), 2u);
  EXPECT_EQ(guard.history()[0].tokens, (TokenList{"first", "record", "here"}));

  guard.prune(at(108.0));  // cutoff exactly at the first record: it stays
  EXPECT_EQ(guard.history().size(), 2u);
  EchoGuard mixed;
  mixed.recordSpoken("older", at(99.0));
  mixed.recordSpoken("at the cutoff", at(100.0));
  mixed.prune(at(108.0));
  ASSERT_EQ(mixed.history().size(), 1u);
  EXPECT_EQ(mixed.history()[0].at, at(100.0));

  guard.prune(at(108.5));
  ASSERT_EQ(guard.history().size(), 1u);
  EXPECT_EQ(guard.history()[0].at, at(101.0));

  guard.recordSpoken("third", at(120.0));  // recording prunes too
  ASSERT_EQ(guard.history().size(), 1u);
  EXPECT_EQ(guard.history()[0].tokens, TokenList{"third"});

  // An expired record cannot make an echo.
  EchoGuard stale;
  stale.recordSpoken("the deploy went fine", at(0.0));
  EXPECT_EQ(stale.evaluate("the deploy went fine", true, std::nullopt, at(8.5)), Verdict::accept());
  EXPECT_TRUE(stale.history().empty());
}

TEST(EchoGuard, ResetForgetsHistoryButKeepsStatistics) {
  EchoGuard guard;
  guard.recordSpoken("alpha bravo charlie delta echo", at(9.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "alpha bravo charlie delta echo"), Verdict::echo(1.0));
  EXPECT_EQ(heardWhileSpeaking(guard, "alpha bravo something else entirely"), Verdict::accept());
  const double highest = guard.maxAcceptedSimilarity();
  EXPECT_DOUBLE_EQ(highest, 2.0 / 8.0);
  EXPECT_EQ(heardWhileSpeaking(guard, "nothing alike at all"), Verdict::accept());
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), highest);  // only ever rises

  guard.reset();
  EXPECT_TRUE(guard.history().empty());
  EXPECT_EQ(guard.suppressedCount(), 1);
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), highest);
  EXPECT_EQ(heardWhileSpeaking(guard, "alpha bravo charlie delta echo"), Verdict::accept());
}

TEST(EchoGuard, AcceptsStdSteadyClockTimes) {
  EchoGuard guard;
  const auto now = std::chrono::steady_clock::now();
  guard.recordSpoken("one two three four", now);
  EXPECT_EQ(guard.evaluate("one two three four", true, std::nullopt, now + std::chrono::seconds(1)),
            Verdict::echo(1.0));
}

}  // namespace
}  // namespace parley::voice
