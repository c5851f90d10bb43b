#include "voice/echo_guard.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

using Verdict = EchoGuard::Verdict;

EchoGuard::Instant at(double seconds) {
  return EchoGuard::Instant{EchoGuard::Seconds{seconds}};
}

// Each case records what the device said (at 7, 8, 9 ... s) and judges one
// utterance heard while it is still speaking at 10 s.
TEST(EchoGuard, JudgesWhatIsHeardAgainstWhatWasSaid) {
  struct Case {
    std::vector<std::string> spoken;
    std::string heard;
    Verdict expected;
    double threshold = 0.6;
  };
  const std::vector<Case> cases{
      {{}, "please run all the tests", Verdict::accept()},
      {{"The build finished with two warnings."},
       "two warnings the build finished with",
       Verdict::echo(1.0)},
      {{"Die Stra\u00dfe ist gesperrt, caf\u00e9 geschlossen"},
       "DIE STRA\u1E9EE IST GESPERRT CAFE\u0301 GESCHLOSSEN",
       Verdict::echo(1.0)},
      // Commands always get through (barge-in), even when just spoken.
      {{"stop talking"}, "stop talking", Verdict::accept()},
      {{"Say that again"}, "say that again!", Verdict::accept()},
      // Fewer than three words are never compared; repeats count.
      {{"tests pass"}, "tests pass", Verdict::accept()},
      {{"tests pass"}, "tests, tests pass", Verdict::echo(1.0)},
      // One record: Jaccard only.
      {{"alpha bravo charlie delta echo foxtrot golf hotel india juliet"},
       "charlie alpha bravo",
       Verdict::accept()},
      {{"alpha bravo charlie delta echo foxtrot golf hotel india juliet"},
       "juliet india hotel golf foxtrot echo delta charlie bravo",
       Verdict::echo(0.9)},
      // Two or more records: containment in what was said lately.
      {{"alpha bravo charlie delta echo foxtrot golf hotel india juliet", "kilo lima"},
       "charlie alpha bravo",
       Verdict::echo(1.0)},
      {{"run the tests", "then commit the change"},
       "run the tests then commit",
       Verdict::echo(1.0),
       0.8},
      {{"run the tests", "then commit the change"},
       "run the tests then commit",
       Verdict::echo(0.6)},
      // The first record to reach the threshold gives the score.
      {{"run the tests", "run the tests then commit"},
       "run the tests then commit",
       Verdict::echo(0.6)},
      {{"I opened the configuration file", "and replaced the port number",
        "now restarting the server"},
       "opened configuration replaced port restarting server why",
       Verdict::echo(6.0 / 7.0)},
      {{"I opened the configuration file", "and replaced the port number",
        "now restarting the server"},
       "opened configuration replaced port restarting why not",
       Verdict::accept()},
      {{"run the tests", "then commit the change"},
       "tests tests tests tests tests tests novel",
       Verdict::echo(6.0 / 7.0)},
  };
  for (const auto& c : cases) {
    EchoGuard::Config config;
    config.similarityThreshold = c.threshold;
    EchoGuard guard(config);
    double when = 10.0 - static_cast<double>(c.spoken.size());
    for (const auto& text : c.spoken)
      guard.recordSpoken(text, at(when++));
    EXPECT_EQ(guard.evaluate(c.heard, true, std::nullopt, at(10.0)), c.expected) << c.heard;
    EXPECT_EQ(guard.suppressedCount(), c.expected == Verdict::accept() ? 0 : 1) << c.heard;
  }
}

TEST(EchoGuard, OnlyJudgesWhileSpeakingOrWithinTheTail) {
  EchoGuard guard;
  const std::string_view same = "running the full test suite now";
  guard.recordSpoken(same, at(5.0));
  EXPECT_EQ(guard.evaluate(same, false, std::nullopt, at(6.0)), Verdict::accept());
  EXPECT_EQ(guard.evaluate(same, false, at(5.4), at(6.0)), Verdict::accept());  // 0.6 s later
  EXPECT_EQ(guard.maxAcceptedSimilarity(), 0.0);  // accepted without comparing
  EXPECT_EQ(guard.evaluate(same, false, at(5.5), at(6.0)), Verdict::echo(1.0));  // exactly 0.5 s
  EXPECT_EQ(guard.evaluate(same, true, at(1.0), at(6.0)), Verdict::echo(1.0));
  // After the window the record is gone and cannot make an echo.
  EXPECT_EQ(guard.evaluate(same, true, std::nullopt, at(13.5)), Verdict::accept());
  EXPECT_TRUE(guard.history().empty());
}

TEST(EchoGuard, TellsACommandMadeOfWordsBeingSaid) {
  const std::string_view saying = "Claude wants to delete the build folder. Yes or no?";
  EXPECT_TRUE(EchoGuard::madeOfWordsIn("No.", saying));
  EXPECT_TRUE(EchoGuard::madeOfWordsIn("YES", saying));
  // Every word must be in it.
  EXPECT_FALSE(EchoGuard::madeOfWordsIn("stop", saying));
  EXPECT_FALSE(EchoGuard::madeOfWordsIn("no wait", saying));
  EXPECT_FALSE(EchoGuard::madeOfWordsIn("", saying));
  EXPECT_FALSE(EchoGuard::madeOfWordsIn("?!", saying));
  EXPECT_FALSE(EchoGuard::madeOfWordsIn("no", ""));
}

TEST(EchoGuard, HistoryKeepsOnlyTheWindow) {
  EchoGuard guard;
  guard.recordSpoken("?!", at(100.0));
  EXPECT_TRUE(guard.history().empty());
  guard.recordSpoken("older", at(99.0));
  guard.recordSpoken("at the cutoff", at(100.0));
  guard.recordSpoken("later", at(101.0));
  guard.prune(at(108.0));  // the cutoff itself stays
  ASSERT_EQ(guard.history().size(), 2u);
  EXPECT_EQ(guard.history()[0].tokens, (TokenList{"at", "the", "cutoff"}));
  guard.recordSpoken("third", at(120.0));  // recording prunes too
  ASSERT_EQ(guard.history().size(), 1u);
  EXPECT_EQ(guard.history()[0].at, at(120.0));
}

TEST(EchoGuard, StatisticsOnlyRiseAndOutliveReset) {
  EchoGuard guard;
  guard.recordSpoken("alpha bravo charlie delta echo", at(9.0));
  EXPECT_EQ(guard.evaluate("alpha bravo charlie delta echo", true, {}, at(10.0)),
            Verdict::echo(1.0));
  EXPECT_EQ(guard.evaluate("alpha bravo something else entirely", true, {}, at(10.0)),
            Verdict::accept());
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), 2.0 / 8.0);
  EXPECT_EQ(guard.evaluate("nothing alike at all", true, {}, at(10.0)), Verdict::accept());
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), 2.0 / 8.0);
  guard.reset();
  EXPECT_TRUE(guard.history().empty());
  EXPECT_EQ(guard.suppressedCount(), 1);
  EXPECT_DOUBLE_EQ(guard.maxAcceptedSimilarity(), 2.0 / 8.0);
}

}  // namespace
}  // namespace parley::voice
