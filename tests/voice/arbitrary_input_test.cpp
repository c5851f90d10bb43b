// Recogniser output and streamed text are outside input: whatever the bytes,
// every text tool must return a sane, well-formed result. (The tokenizer and
// the sentence chunker have fuzz targets of their own.)

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "text/unicode.hpp"
#include "voice/contextual_vocabulary.hpp"
#include "voice/echo_guard.hpp"
#include "voice/endpointer.hpp"
#include "voice/intent_heuristics.hpp"
#include "voice/meta_command.hpp"
#include "voice/transcript_accumulator.hpp"

namespace parley::voice {
namespace {

bool isWellFormed(std::string_view text) {
  return text::isValidUtf8(text);
}

// Fragments that combine into every awkward case: cut and stray sequences,
// marks without a base, joiners, flags, CR LF, terminators, abbreviations.
const std::vector<std::string> fragments = {
    "a",      "Z",      "9",          " ",           "\n",     "\r",           ".",
    "?",      "!",      ":",          ";",           "'",      "\u2019",       "\"",
    ")",      "\u201d", "\u2026",     "e.g.",        "Dr.",    "3.14",         "stop",
    "send",   "it",     "and",        "\u00df",      "\u1e9e", "\u0130",       "\u0301",
    "\u200d", "\ufe0f", "\U0001F468", "\U0001F1E9",  "\u00a0", "\u3000",       "\xC3",
    "\xA9",   "\xE2",   "\x80",       "\xF0\x9F",    "\xFF",   "\xED\xA0\x80", "\xC0\xAF",
    "/",      "_",      "-",          "\u0928\u094D"};

std::string randomText(std::mt19937& random) {
  std::uniform_int_distribution<std::size_t> length(0, 40);
  std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
  std::string text;
  for (std::size_t n = length(random); n > 0; --n)
    text += fragments[pick(random)];
  return text;
}

TEST(ArbitraryInput, TextToolsStayWellFormedAndTotal) {
  std::mt19937 random(20240611);
  const Endpointer endpointer;
  EchoGuard guard;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = randomText(random);

    (void)parseMetaCommand(text);
    (void)IntentHeuristics::looksLikeRequest(text);
    const auto [decision, reason] = endpointer.decide(text);
    EXPECT_EQ(reason == Endpointer::Reason::empty, text::trimmed(text).empty());

    const auto at = EchoGuard::Instant{EchoGuard::Seconds{round * 0.1}};
    guard.recordSpoken(text, at);
    (void)guard.evaluate(randomText(random), true, std::nullopt, at);

    for (const auto& term : ContextualVocabulary::terms({text, randomText(random)})) {
      EXPECT_FALSE(term.empty());
      EXPECT_TRUE(isWellFormed(term)) << text;
    }

    TranscriptAccumulator accumulator;
    accumulator.updateVolatile(text);
    accumulator.commitFinal(randomText(random));
    (void)accumulator.drain();
    EXPECT_TRUE(accumulator.isEmpty());
  }
}

}  // namespace
}  // namespace parley::voice
