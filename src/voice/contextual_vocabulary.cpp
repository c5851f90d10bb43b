#include "voice/contextual_vocabulary.hpp"

#include <unordered_set>

#include "text/unicode.hpp"

namespace parley::voice::ContextualVocabulary {

namespace {

// The non-empty pieces of `text` between characters that are exactly
// `separator`.
std::vector<std::string_view> split(std::string_view text, char32_t separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  text::CharacterCursor cursor(text);
  text::Character character;
  while (cursor.next(character)) {
    if (!character.is(separator))
      continue;
    if (character.begin > start)
      pieces.push_back(text.substr(start, character.begin - start));
    start = character.end;
  }
  if (start < text.size())
    pieces.push_back(text.substr(start));
  return pieces;
}

bool endsWithSpace(const std::string& text) {
  return !text.empty() && text.back() == ' ';
}

std::string dedupeKey(std::string_view candidate) {
  return text::composed(text::lowercased(candidate));
}

}  // namespace

std::string splitIdentifier(std::string_view identifier) {
  std::string output;
  bool hasPrevious = false;
  char32_t previous = 0;
  text::CharacterCursor cursor(identifier);
  text::Character character;
  while (cursor.next(character)) {
    const char32_t current = character.first;
    if (character.is(U'_') || character.is(U'-')) {
      if (!output.empty() && !endsWithSpace(output))
        output.push_back(' ');
    } else {
      if (hasPrevious && !output.empty() && !endsWithSpace(output)) {
        const bool caseChange = text::isLowercase(previous) && text::isUppercase(current);
        const bool previousIsNumber = text::isNumber(previous);
        const bool currentIsNumber = text::isNumber(current);
        const bool digitLetterEdge = previousIsNumber != currentIsNumber &&
                                     (text::isLetter(previous) || text::isLetter(current));
        if (caseChange || digitLetterEdge)
          output.push_back(' ');
      }
      output.append(identifier.substr(character.begin, character.end - character.begin));
    }
    previous = current;
    hasPrevious = true;
  }
  return std::string(text::trimmedSpacesAndTabs(output));
}

std::vector<std::string> candidates(std::string_view source) {
  const std::string_view path = text::trimmed(source);
  if (path.empty())
    return {};
  const auto components = split(path, U'/');
  if (components.empty())
    return {};
  const auto nameParts = split(components.back(), U'.');
  if (nameParts.empty())
    return {};
  const std::string_view piece = nameParts.front();

  bool hasWordCharacter = false;
  text::CharacterCursor cursor(piece);
  text::Character character;
  while (!hasWordCharacter && cursor.next(character)) {
    hasWordCharacter = text::isLetterOrNumber(character.first);
  }
  if (!hasWordCharacter)
    return {};

  std::vector<std::string> result;
  result.push_back(text::toValidUtf8(piece));
  std::string words = text::toValidUtf8(splitIdentifier(piece));
  if (words != result.front())
    result.push_back(std::move(words));
  return result;
}

std::vector<std::string> terms(const std::vector<std::string>& sources, std::size_t limit) {
  std::vector<std::string> result;
  if (limit == 0)
    return result;
  std::unordered_set<std::string> taken;
  for (const auto& source : sources) {
    for (auto& candidate : candidates(source)) {
      if (!taken.insert(dedupeKey(candidate)).second)
        continue;
      result.push_back(std::move(candidate));
      if (result.size() >= limit)
        return result;
    }
  }
  return result;
}

}  // namespace parley::voice::ContextualVocabulary
