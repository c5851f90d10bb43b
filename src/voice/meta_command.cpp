#include "voice/meta_command.hpp"

#include <algorithm>
#include <initializer_list>

#include "text/unicode.hpp"

namespace parley::voice {

namespace {

constexpr std::array<std::string_view, 7> rawValues{"stop",        "resume", "repeatLast", "sendIt",
                                                    "scratchThat", "yes",    "no"};

struct PhraseSource {
  MetaCommand command;
  std::initializer_list<std::string_view> words;
};

std::vector<MetaCommandPhrase> buildPhrases() {
  using enum MetaCommand;
  const std::initializer_list<PhraseSource> sources = {
      {stop, {"stop"}},
      {stop, {"stop", "talking"}},
      {stop, {"be", "quiet"}},
      {stop, {"shut", "up"}},
      {stop, {"quiet"}},
      {stop, {"hold", "on"}},
      {stop, {"wait"}},
      {stop, {"pause"}},
      {resume, {"continue"}},
      {resume, {"go", "on"}},
      {resume, {"carry", "on"}},
      {resume, {"keep", "going"}},
      {resume, {"resume"}},
      {repeatLast, {"repeat"}},
      {repeatLast, {"say", "that", "again"}},
      {repeatLast, {"what"}},
      {repeatLast, {"what", "was", "that"}},
      {repeatLast, {"again"}},
      {sendIt, {"send", "it"}},
      {sendIt, {"send", "that"}},
      {sendIt, {"send"}},
      {sendIt, {"go", "ahead"}},
      {sendIt, {"submit"}},
      {sendIt, {"that's", "it"}},
      {scratchThat, {"scratch", "that"}},
      {scratchThat, {"cancel"}},
      {scratchThat, {"never", "mind"}},
      {scratchThat, {"nevermind"}},
      {scratchThat, {"forget", "it"}},
      {scratchThat, {"start", "over"}},
      {yes, {"yes"}},
      {yes, {"yeah"}},
      {yes, {"yep"}},
      {yes, {"approve"}},
      {yes, {"allow"}},
      {yes, {"do", "it"}},
      {yes, {"confirm"}},
      {no, {"no"}},
      {no, {"nope"}},
      {no, {"deny"}},
      {no, {"reject"}},
      {no, {"don't"}},
      {no, {"do", "not"}},
  };
  // Phrases go through the same tokenizer as what is heard, so "that's" is
  // stored as the token the recogniser's "that's" will produce.
  std::vector<MetaCommandPhrase> phrases;
  phrases.reserve(sources.size());
  for (const auto& source : sources) {
    MetaCommandPhrase phrase{source.command, {}};
    for (const auto word : source.words) {
      for (auto& token : SpeechTokens::tokenize(word))
        phrase.tokens.push_back(std::move(token));
    }
    phrases.push_back(std::move(phrase));
  }
  return phrases;
}

}  // namespace

std::string_view rawValue(MetaCommand command) {
  return rawValues[static_cast<std::size_t>(command)];
}

std::optional<MetaCommand> metaCommandFromRawValue(std::string_view raw) {
  for (const auto command : allMetaCommands) {
    if (rawValue(command) == raw)
      return command;
  }
  return std::nullopt;
}

const std::vector<MetaCommandPhrase>& metaCommandPhrases() {
  static const std::vector<MetaCommandPhrase> phrases = buildPhrases();
  return phrases;
}

std::size_t maxPhraseLength() {
  static const std::size_t length = [] {
    std::size_t longest = 0;
    for (const auto& phrase : metaCommandPhrases()) {
      longest = std::max(longest, phrase.tokens.size());
    }
    // An empty table still lets three-word utterances through to the lookup.
    return longest == 0 ? std::size_t{3} : longest;
  }();
  return length;
}

std::optional<MetaCommand> parseMetaCommand(const TokenList& tokens) {
  if (tokens.empty() || tokens.size() > maxPhraseLength())
    return std::nullopt;
  for (const auto& phrase : metaCommandPhrases()) {
    if (phrase.tokens == tokens)
      return phrase.command;
  }
  return std::nullopt;
}

std::optional<MetaCommand> parseMetaCommand(std::string_view text) {
  // One token more than the longest phrase is enough to rule a text out.
  return parseMetaCommand(SpeechTokens::tokenizePrefix(text, maxPhraseLength() + 1));
}

bool isMetaCommand(std::string_view text) {
  return parseMetaCommand(text).has_value();
}

std::optional<std::pair<MetaCommand, std::string>> trailingMetaCommand(const std::string& text) {
  const auto words = text::splitWhitespace(text);
  for (std::size_t length = 1; length <= maxPhraseLength() && length < words.size(); ++length) {
    std::string tail;
    for (std::size_t i = words.size() - length; i < words.size(); ++i) {
      if (!tail.empty())
        tail += " ";
      tail += words[i];
    }
    const auto command = parseMetaCommand(tail);
    if (command == MetaCommand::sendIt || command == MetaCommand::scratchThat) {
      std::string head;
      for (std::size_t i = 0; i < words.size() - length; ++i) {
        if (!head.empty())
          head += " ";
        head += words[i];
      }
      // "Fix the bug, send it": the comma belonged to the command.
      while (!head.empty() && (head.back() == ',' || head.back() == ';'))
        head.pop_back();
      return std::pair{*command, head};
    }
  }
  return std::nullopt;
}

}  // namespace parley::voice
