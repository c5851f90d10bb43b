#include "voice/contextual_vocabulary.hpp"

#include <unordered_set>

#include "voice/unicode_text.hpp"

namespace parley::voice::ContextualVocabulary {

namespace {

// The non-empty pieces of `text` between characters that are exactly
// `separator`.
std::vector<std::string_view> split(std::string_view text, char32_t separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  unicode::CharacterCursor cursor(text);
  unicode::Character character;
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

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos)
    return {};
  const auto end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::string dedupeKey(std::string_view candidate) {
  return unicode::composed(unicode::lowercased(candidate));
}

}  // namespace

std::string splitIdentifier(std::string_view identifier) {
  std::string output;
  bool hasPrevious = false;
  char32_t previous = 0;
  unicode::CharacterCursor cursor(identifier);
  unicode::Character character;
  while (cursor.next(character)) {
    const char32_t current = character.first;
    if (character.is(U'_') || character.is(U'-')) {
      if (!output.empty() && !endsWithSpace(output))
        output.push_back(' ');
    } else {
      if (hasPrevious && !output.empty() && !endsWithSpace(output)) {
        const bool caseChange = unicode::isLowercase(previous) && unicode::isUppercase(current);
        const bool previousIsNumber = unicode::isNumber(previous);
        const bool currentIsNumber = unicode::isNumber(current);
        const bool digitLetterEdge = previousIsNumber != currentIsNumber &&
                                     (unicode::isLetter(previous) || unicode::isLetter(current));
        if (caseChange || digitLetterEdge)
          output.push_back(' ');
      }
      output.append(identifier.substr(character.begin, character.end - character.begin));
    }
    previous = current;
    hasPrevious = true;
  }
  return std::string(trimSpacesAndTabs(output));
}

std::vector<std::string> candidates(std::string_view source) {
  const std::string_view text = unicode::trimmed(source);
  if (text.empty())
    return {};
  const auto components = split(text, U'/');
  if (components.empty())
    return {};
  const auto nameParts = split(components.back(), U'.');
  if (nameParts.empty())
    return {};
  const std::string_view piece = nameParts.front();

  bool hasWordCharacter = false;
  unicode::CharacterCursor cursor(piece);
  unicode::Character character;
  while (!hasWordCharacter && cursor.next(character)) {
    hasWordCharacter = unicode::isLetterOrNumber(character.first);
  }
  if (!hasWordCharacter)
    return {};

  std::vector<std::string> result;
  result.push_back(unicode::sanitized(piece));
  std::string words = unicode::sanitized(splitIdentifier(piece));
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
