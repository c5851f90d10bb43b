#include "voice/endpointer.hpp"

#include <array>

#include "text/unicode.hpp"
#include "voice/meta_command.hpp"
#include "voice/speech_tokens.hpp"

namespace parley::voice {

namespace {

constexpr std::array<std::string_view, 6> reasonNames{
    "empty", "explicitTerminator", "metaCommand", "dangling", "terminalPunctuation", "neutral"};

constexpr std::string_view horizontalEllipsis = "\u2026";

}  // namespace

Endpointer::Endpointer() : policy_(Policy{}) {}

std::string_view rawValue(Endpointer::Reason reason) {
  return reasonNames[static_cast<std::size_t>(reason)];
}

const std::unordered_set<std::string>& Endpointer::danglingWords() {
  static const std::unordered_set<std::string> words = {
      "and",       "or",       "but",    "so",      "because", "although", "though",  "unless",
      "while",     "whereas",  "since",  "if",      "when",    "whenever", "until",   "after",
      "before",    "than",     "that",   "whether", "nor",     "plus",     "the",     "a",
      "an",        "this",     "thats",  "these",   "those",   "some",     "any",     "every",
      "each",      "another",  "my",     "your",    "our",     "its",      "their",   "his",
      "to",        "of",       "in",     "on",      "for",     "with",     "at",      "from",
      "by",        "into",     "onto",   "about",   "over",    "under",    "through", "between",
      "against",   "across",   "toward", "towards", "upon",    "within",   "without", "via",
      "is",        "are",      "was",    "were",    "be",      "been",     "being",   "am",
      "do",        "does",     "did",    "have",    "has",     "had",      "can",     "could",
      "should",    "would",    "will",   "shall",   "may",     "might",    "must",    "let",
      "lets",      "gonna",    "wanna",  "um",      "uh",      "er",       "hmm",     "like",
      "basically", "actually", "which",  "who",     "whom",    "whose",    "what",    "where",
      "how",
  };
  return words;
}

std::pair<Endpointer::Decision, Endpointer::Reason> Endpointer::decide(
    std::string_view text) const {
  const std::string_view trimmedText = text::trimmed(text);
  if (trimmedText.empty())
    return {Decision::idle(), Reason::empty};

  const TokenList tokens = SpeechTokens::tokenize(trimmedText);
  if (const auto command = parseMetaCommand(tokens)) {
    if (*command == MetaCommand::sendIt)
      return {Decision::commitNow(), Reason::explicitTerminator};
    return {Decision::waitMilliseconds(policy_.metaCommandMS), Reason::metaCommand};
  }
  if (!tokens.empty() && danglingWords().contains(tokens.back())) {
    return {Decision::waitMilliseconds(policy_.danglingMS), Reason::dangling};
  }

  // "." "?" "!" are single bytes and "…" is a complete three-byte sequence, so
  // comparing the text's last bytes compares its last scalar.
  const char last = trimmedText.back();
  if (last == '.' || last == '?' || last == '!') {
    if (trimmedText.ends_with("...")) {
      return {Decision::waitMilliseconds(policy_.danglingMS), Reason::dangling};
    }
    return {Decision::waitMilliseconds(policy_.terminalMS), Reason::terminalPunctuation};
  }
  if (trimmedText.ends_with(horizontalEllipsis)) {
    return {Decision::waitMilliseconds(policy_.danglingMS), Reason::dangling};
  }
  return {Decision::waitMilliseconds(policy_.neutralMS), Reason::neutral};
}

}  // namespace parley::voice
