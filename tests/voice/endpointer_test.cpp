#include "voice/endpointer.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

using namespace std::chrono_literals;
using Decision = Endpointer::Decision;
using Reason = Endpointer::Reason;
using Result = std::pair<Decision, Reason>;

TEST(Endpointer, DecidesFromTheWordsAndTheLastMark) {
  const Result idle{Decision::idle(), Reason::empty};
  const Result terminal{Decision::waitMilliseconds(700ms), Reason::terminalPunctuation};
  const Result neutral{Decision::waitMilliseconds(1100ms), Reason::neutral};
  const Result dangling{Decision::waitMilliseconds(2000ms), Reason::dangling};
  const Result command{Decision::waitMilliseconds(350ms), Reason::metaCommand};
  const Result commit{Decision::commitNow(), Reason::explicitTerminator};
  const std::vector<std::pair<const char*, Result>> cases{
      {"", idle},
      {"  \n\t", idle},
      {"\u00a0\u3000", idle},
      // Commands count only as whole utterances; "what" alone is one, so the
      // command check comes before the dangling-word check.
      {"Send it", commit},
      {"send  it!", commit},
      {"SEND IT", commit},
      {"please send it", neutral},
      {"Say that again", command},
      {"yes\u00a0", command},
      {"What?", command},
      {"so what?", dangling},
      // Dangling words win over punctuation.
      {"run the tests and,", dangling},
      {"run the tests, um", dangling},
      {"fix it because.", dangling},
      {"and where is it?", terminal},
      {"check that's", dangling},
      {"Let\u2019s", dangling},
      {"thesis", neutral},
      // Otherwise the last mark decides.
      {"Ok.", terminal},
      {"Ok!", terminal},
      {"Ok..", terminal},
      {"?", terminal},
      {"Ok...", dangling},
      {"Ok\u2026", dangling},
      {"Ok", neutral},
      {"run the tests.  \n", terminal},
      {"say \"hello.\"", neutral},
      {"version 2,", neutral},
      {"Das ist sch\u00f6n.", terminal},
      {"ship it \U0001F680", neutral},
      {"\u65E5\u672C\u8A9E\u3002", neutral},  // ideographic full stop
      {"ok\xE2\x80", neutral},
      {"\xFF", neutral},  // broken UTF-8
  };
  const Endpointer endpointer;
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(endpointer.decide(text), expected) << text;
}

TEST(Endpointer, UsesItsPolicy) {
  const Endpointer::Policy policy{100ms, 200ms, 300ms, 50ms};
  const Endpointer endpointer(policy);
  EXPECT_EQ(endpointer.decide("done.").first, Decision::waitMilliseconds(100ms));
  EXPECT_EQ(endpointer.decide("done").first, Decision::waitMilliseconds(200ms));
  EXPECT_EQ(endpointer.decide("done and").first, Decision::waitMilliseconds(300ms));
  EXPECT_EQ(endpointer.decide("cancel").first, Decision::waitMilliseconds(50ms));
  EXPECT_EQ(endpointer.decide("submit").first, Decision::commitNow());
  EXPECT_EQ(Endpointer().policy(), (Endpointer::Policy{700ms, 1100ms, 2000ms, 350ms}));
  EXPECT_EQ(Endpointer::danglingWords().size(), 105u);
  EXPECT_EQ(rawValue(Reason::terminalPunctuation), "terminalPunctuation");
}

}  // namespace
}  // namespace parley::voice
