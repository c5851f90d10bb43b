#include "voice/speech_tokens.hpp"

#include <gtest/gtest.h>

#include "voice/intent_heuristics.hpp"
#include "voice/meta_command.hpp"

namespace parley::voice {
namespace {

using SpeechTokens::similarity;
using SpeechTokens::tokenize;

TEST(SpeechTokens, Tokenize) {
  const std::vector<std::pair<std::string, TokenList>> cases{
      // Split on everything but letters, numbers and apostrophes, which vanish.
      {"It's fine!", {"its", "fine"}},
      {"well-known", {"well", "known"}},
      {"don\u2019t STOP", {"dont", "stop"}},
      {"ipv6.2", {"ipv6", "2"}},
      {"  run\tthe\ntests  ", {"run", "the", "tests"}},
      {"?!... -- '", {}},
      {"", {}},
      // Accents and marks stay inside words; a decomposed accent gives the
      // precomposed token.
      {"Caf\u00e9 CR\u00c8ME", {"caf\u00e9", "cr\u00e8me"}},
      {"re\u0301sume\u0301", {"r\u00e9sum\u00e9"}},
      {"\u0928\u092E\u0938\u094D\u0924\u0947 \u0926\u0941",
       {"\u0928\u092E\u0938\u094D\u0924\u0947", "\u0926\u0941"}},
      {"\u65E5\u672C\u8A9E\u3002\u30C6\u30B9\u30C8", {"\u65E5\u672C\u8A9E", "\u30C6\u30B9\u30C8"}},
      // Lower-casing, not case folding: STRASSE and Stra\u00dfe stay apart.
      {"STRASSE Stra\u00dfe STRA\u1E9EE", {"strasse", "stra\u00dfe", "stra\u00dfe"}},
      {"\u0130stanbul", {"i\u0307stanbul"}},
      // Emoji and broken bytes separate words.
      {"fix \U0001F44D\U0001F3FD now", {"fix", "now"}},
      {"ship\U0001F680it", {"ship", "it"}},
      {"ab\xFF"
       "cd",
       {"ab", "cd"}},
      {"ok\xE2\x80", {"ok"}},
      {"\xC0\xAF"
       "x",
       {"x"}},
  };
  for (const auto& [text, tokens] : cases)
    EXPECT_EQ(tokenize(text), tokens) << text;
}

TEST(SpeechTokens, PrefixStopsAfterEnoughTokens) {
  EXPECT_EQ(SpeechTokens::tokenizePrefix("One, two; three four", 2), (TokenList{"one", "two"}));
  EXPECT_EQ(SpeechTokens::tokenizePrefix("one two", 5), (TokenList{"one", "two"}));
  EXPECT_EQ(SpeechTokens::tokenizePrefix("caf\u00e9 cre\u0300me br\u00fbl\u00e9e", 2),
            (TokenList{"caf\u00e9", "cr\u00e8me"}));
  EXPECT_TRUE(SpeechTokens::tokenizePrefix("one two", 0).empty());
}

TEST(SpeechTokens, SimilarityIsJaccardOverTokenSets) {
  EXPECT_DOUBLE_EQ(similarity(TokenList{}, TokenList{}), 1.0);
  EXPECT_DOUBLE_EQ(similarity(TokenList{"a"}, TokenList{}), 0.0);
  EXPECT_DOUBLE_EQ(similarity(TokenList{}, TokenList{"a"}), 0.0);
  // Order and repetition do not matter.
  EXPECT_DOUBLE_EQ(
      similarity(TokenList{"run", "the", "tests"}, TokenList{"tests", "the", "run", "run", "run"}),
      1.0);
  EXPECT_DOUBLE_EQ(
      similarity(std::string_view("run the tests"), std::string_view("run the tests then commit")),
      0.6);
  EXPECT_DOUBLE_EQ(similarity(std::string_view("alpha beta"), std::string_view("gamma delta")),
                   0.0);
  EXPECT_DOUBLE_EQ(similarity(std::string_view("Cr\u00e8me BR\u00dbL\u00c9E"),
                              std::string_view("cre\u0300me bru\u0302le\u0301e")),
                   1.0);
  EXPECT_DOUBLE_EQ(similarity(std::string_view("..."), std::string_view("!!")), 1.0);
}

TEST(MetaCommand, OnlyAWholeUtteranceIsACommand) {
  for (const char* text : {"stop", "Stop!", "STOP.", "  stop  "}) {
    EXPECT_EQ(parseMetaCommand(text), MetaCommand::stop) << text;
  }
  EXPECT_EQ(parseMetaCommand("please stop"), std::nullopt);
  EXPECT_EQ(parseMetaCommand("stop the server"), std::nullopt);
  EXPECT_EQ(parseMetaCommand("Go ahead."), MetaCommand::sendIt);
  EXPECT_EQ(parseMetaCommand("go"), std::nullopt);
  EXPECT_EQ(parseMetaCommand("go on"), MetaCommand::resume);
  EXPECT_EQ(parseMetaCommand("What?"), MetaCommand::repeatLast);
  EXPECT_EQ(parseMetaCommand("what was that"), MetaCommand::repeatLast);
  EXPECT_EQ(parseMetaCommand("what is that"), std::nullopt);
  EXPECT_EQ(parseMetaCommand("Do it"), MetaCommand::yes);
  EXPECT_EQ(parseMetaCommand("do not"), MetaCommand::no);
  EXPECT_EQ(parseMetaCommand("Don't!"), MetaCommand::no);
  EXPECT_EQ(parseMetaCommand("That\u2019s it."), MetaCommand::sendIt);
  EXPECT_EQ(parseMetaCommand("Never-mind"), MetaCommand::scratchThat);
  EXPECT_EQ(parseMetaCommand("it send"), std::nullopt);  // order matters
  // Four words are never a command, even four commands.
  EXPECT_EQ(parseMetaCommand("stop stop stop stop"), std::nullopt);
  EXPECT_EQ(parseMetaCommand("say that again please"), std::nullopt);
  EXPECT_EQ(parseMetaCommand(""), std::nullopt);
  EXPECT_EQ(parseMetaCommand("?!"), std::nullopt);
  EXPECT_FALSE(isMetaCommand("st\u00f6p"));
  EXPECT_TRUE(isMetaCommand("YES\u00a0"));
  EXPECT_FALSE(
      isMetaCommand("yes\xFF"
                    "no"));  // two tokens, no such phrase
}

TEST(MetaCommand, EveryPhraseFindsItsCommandAndNamesRoundTrip) {
  const auto& phrases = metaCommandPhrases();
  ASSERT_FALSE(phrases.empty());
  // No two rows share a phrase, so every row's own words find its command.
  for (const auto& phrase : phrases) {
    EXPECT_EQ(parseMetaCommand(phrase.tokens), phrase.command);
    EXPECT_LE(phrase.tokens.size(), maxPhraseLength());
  }

  for (const auto command : allMetaCommands) {
    EXPECT_EQ(metaCommandFromRawValue(rawValue(command)), command);
  }
  EXPECT_EQ(rawValue(MetaCommand::repeatLast), "repeatLast");
  EXPECT_EQ(metaCommandFromRawValue("Stop"), std::nullopt);
  EXPECT_EQ(metaCommandFromRawValue("repeat_last"), std::nullopt);
}

TEST(IntentHeuristics, ActionWordOrQuestionMarkMakesARequest) {
  EXPECT_TRUE(IntentHeuristics::looksLikeRequest("Please run the tests"));
  EXPECT_TRUE(IntentHeuristics::looksLikeRequest("Let's refactor this"));
  EXPECT_TRUE(IntentHeuristics::looksLikeRequest("Claude, fix it"));
  EXPECT_FALSE(IntentHeuristics::looksLikeRequest("the tests fail"));
  EXPECT_TRUE(IntentHeuristics::looksLikeRequest("the tests fail?"));
  EXPECT_TRUE(IntentHeuristics::looksLikeRequest("why? no idea"));
  EXPECT_FALSE(IntentHeuristics::looksLikeRequest(""));
  EXPECT_FALSE(IntentHeuristics::looksLikeRequest("?"));  // a question of nothing
  EXPECT_FALSE(IntentHeuristics::looksLikeRequest("refactoring is done"));
}

}  // namespace
}  // namespace parley::voice
