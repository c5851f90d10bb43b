#include "voice/speech_tokens.hpp"

#include <cstdint>
#include <unordered_set>

#include "text/unicode.hpp"

namespace parley::voice::SpeechTokens {

namespace {

bool isApostrophe(char32_t c) {
  return c == U'\'' || c == U'\u2019';
}

void finishToken(TokenList& tokens, std::string& current, bool& needsComposing) {
  if (current.empty())
    return;
  tokens.push_back(needsComposing ? text::composed(current) : std::move(current));
  current.clear();
  needsComposing = false;
}

}  // namespace

TokenList tokenize(std::string_view text) {
  return tokenizePrefix(text, SIZE_MAX);
}

TokenList tokenizePrefix(std::string_view text, std::size_t maxTokens) {
  TokenList tokens;
  if (maxTokens == 0)
    return tokens;
  std::string current;
  bool needsComposing = false;
  text::CharacterCursor cursor(text);
  text::Character character;
  while (cursor.next(character)) {
    if (text::isLetterOrNumber(character.first)) {
      if (character.isSingleScalar && character.first < 0x80) {
        const char32_t c = character.first;
        current.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
        continue;
      }
      for (std::size_t position = character.begin; position < character.end;) {
        const text::Scalar scalar = text::decodeAt(text, position);
        if (scalar.value >= 0x80)
          needsComposing = true;
        text::appendLowercase(current, scalar.value);
        position = scalar.end;
      }
    } else if (!isApostrophe(character.first)) {
      finishToken(tokens, current, needsComposing);
      if (tokens.size() == maxTokens)
        return tokens;
    }
  }
  finishToken(tokens, current, needsComposing);
  return tokens;
}

double similarity(const TokenList& a, const TokenList& b) {
  if (a.empty() && b.empty())
    return 1.0;
  const std::unordered_set<std::string_view> setA(a.begin(), a.end());
  const std::unordered_set<std::string_view> setB(b.begin(), b.end());
  if (setA.empty() || setB.empty())
    return 0.0;
  std::size_t intersection = 0;
  for (const auto& token : setA)
    intersection += setB.count(token);
  const std::size_t unionSize = setA.size() + setB.size() - intersection;
  return static_cast<double>(intersection) / static_cast<double>(unionSize);
}

double similarity(std::string_view a, std::string_view b) {
  return similarity(tokenize(a), tokenize(b));
}

}  // namespace parley::voice::SpeechTokens
