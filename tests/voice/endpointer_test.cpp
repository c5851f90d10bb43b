#include "voice/endpointer.hpp"

#include <gtest/gtest.h>

namespace parley::voice {
namespace {

using namespace std::chrono_literals;
using Decision = Endpointer::Decision;
using Reason = Endpointer::Reason;
using Result = std::pair<Decision, Reason>;

const Result terminal{Decision::waitMilliseconds(700ms), Reason::terminalPunctuation};
const Result neutral{Decision::waitMilliseconds(1100ms), Reason::neutral};
const Result dangling{Decision::waitMilliseconds(2000ms), Reason::dangling};
const Result command{Decision::waitMilliseconds(350ms), Reason::metaCommand};
const Result commit{Decision::commitNow(), Reason::explicitTerminator};

TEST(Endpointer, NothingToCommitWhenBlank) {
  const Endpointer endpointer;
  for (const char* text : {"", "   ", "\n\t", "\u00a0\u3000"}) {
    EXPECT_EQ(endpointer.decide(text), (Result{Decision::idle(), Reason::empty})) << text;
  }
}

TEST(Endpointer, CommandsAreJudgedOnlyAsWholeUtterances) {
  const Endpointer endpointer;
  EXPECT_EQ(endpointer.decide("Send it"), commit);
  EXPECT_EQ(endpointer.decide("send  it!"), commit);
  EXPECT_EQ(endpointer.decide("SEND IT"), commit);
  EXPECT_EQ(endpointer.decide("please send it"), neutral);
  EXPECT_EQ(endpointer.decide("Say that again"), command);
  EXPECT_EQ(endpointer.decide("stop"), command);
  EXPECT_EQ(endpointer.decide("yes\u00a0"), command);
  // "what" alone asks for a repeat; the command check comes before the
  // dangling-word check. At the end of a longer utterance it is dangling.
  EXPECT_EQ(endpointer.decide("What?"), command);
  EXPECT_EQ(endpointer.decide("so what?"), dangling);
}

TEST(Endpointer, DanglingWordsWinOverPunctuation) {
  const Endpointer endpointer;
  EXPECT_EQ(endpointer.decide("run the tests and"), dangling);
  EXPECT_EQ(endpointer.decide("run the tests and,"), dangling);
  EXPECT_EQ(endpointer.decide("run the tests, um"), dangling);
  EXPECT_EQ(endpointer.decide("fix it because."), dangling);
  EXPECT_EQ(endpointer.decide("and where is it?"), terminal);
  EXPECT_EQ(endpointer.decide("check that's"), dangling);
  EXPECT_EQ(endpointer.decide("Let\u2019s"), dangling);
  EXPECT_EQ(endpointer.decide("the"), dangling);
  EXPECT_EQ(endpointer.decide("thesis"), neutral);
}

TEST(Endpointer, LastMarkDecidesOtherwise) {
  const Endpointer endpointer;
  EXPECT_EQ(endpointer.decide("Ok."), terminal);
  EXPECT_EQ(endpointer.decide("Ok!"), terminal);
  EXPECT_EQ(endpointer.decide("Ok..."), dangling);
  EXPECT_EQ(endpointer.decide("Ok\u2026"), dangling);
  EXPECT_EQ(endpointer.decide("Ok"), neutral);
  EXPECT_EQ(endpointer.decide("Ok.."), terminal);
  EXPECT_EQ(endpointer.decide("?"), terminal);
  EXPECT_EQ(endpointer.decide("run the tests"), neutral);
  EXPECT_EQ(endpointer.decide("run the tests.  \n"), terminal);
  EXPECT_EQ(endpointer.decide("say \"hello.\""), neutral);
  EXPECT_EQ(endpointer.decide("version 2,"), neutral);
}

TEST(Endpointer, NonAsciiEndings) {
  const Endpointer endpointer;
  EXPECT_EQ(endpointer.decide("Das ist sch\u00f6n."), terminal);
  EXPECT_EQ(endpointer.decide("\u00c7a va\u2026"), dangling);
  EXPECT_EQ(endpointer.decide("Stra\u00dfe"), neutral);
  EXPECT_EQ(endpointer.decide("ship it \U0001F680"), neutral);
  EXPECT_EQ(endpointer.decide("\u65E5\u672C\u8A9E\u3002"), neutral);  // ideographic full stop
  EXPECT_EQ(endpointer.decide("ok\xE2\x80"), neutral);                // a cut-off ellipsis
  EXPECT_EQ(endpointer.decide("\xFF"), neutral);
}

TEST(Endpointer, UsesItsPolicy) {
  const Endpointer::Policy policy{100ms, 200ms, 300ms, 50ms};
  const Endpointer endpointer(policy);
  EXPECT_EQ(endpointer.policy(), policy);
  EXPECT_NE(policy, Endpointer::Policy{});
  EXPECT_EQ(endpointer.decide("done.").first, Decision::waitMilliseconds(100ms));
  EXPECT_EQ(endpointer.decide("done").first, Decision::waitMilliseconds(200ms));
  EXPECT_EQ(endpointer.decide("done and").first, Decision::waitMilliseconds(300ms));
  EXPECT_EQ(endpointer.decide("cancel").first, Decision::waitMilliseconds(50ms));
  EXPECT_EQ(endpointer.decide("submit").first, Decision::commitNow());
  EXPECT_EQ(Endpointer().policy(), Endpointer::Policy{});
}

TEST(Endpointer, ReasonNamesAndWordList) {
  EXPECT_EQ(rawValue(Reason::empty), "empty");
  EXPECT_EQ(rawValue(Reason::explicitTerminator), "explicitTerminator");
  EXPECT_EQ(rawValue(Reason::metaCommand), "metaCommand");
  EXPECT_EQ(rawValue(Reason::dangling), "dangling");
  EXPECT_EQ(rawValue(Reason::terminalPunctuation), "terminalPunctuation");
  EXPECT_EQ(rawValue(Reason::neutral), "neutral");
  EXPECT_EQ(Endpointer::danglingWords().size(), 105u);
  EXPECT_NE(Decision::waitMilliseconds(0ms), Decision::commitNow());
  EXPECT_EQ(Decision::commitNow().milliseconds(), 0ms);
}

}  // namespace
}  // namespace parley::voice
