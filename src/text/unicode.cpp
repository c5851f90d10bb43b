#include "text/unicode.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace parley::text {

namespace {

utf8proc_int32_t asCodePoint(char32_t c) {
  return static_cast<utf8proc_int32_t>(c);
}

utf8proc_category_t categoryOf(char32_t c) {
  return utf8proc_category(asCodePoint(c));
}

bool isAscii(std::string_view text) {
  for (const char byte : text) {
    if (static_cast<unsigned char>(byte) >= 0x80)
      return false;
  }
  return true;
}

template <class Predicate>
std::string_view trimmedWhere(std::string_view text, Predicate isTrimmed) {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool found = false;
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (!isTrimmed(scalar.value)) {
      if (!found)
        begin = scalar.begin;
      found = true;
      end = scalar.end;
    }
    position = scalar.end;
  }
  return found ? text.substr(begin, end - begin) : std::string_view{};
}

}  // namespace

bool isGraphemeBreak(char32_t previous, char32_t next, std::int32_t& state) {
  return utf8proc_grapheme_break_stateful(asCodePoint(previous), asCodePoint(next), &state);
}

std::vector<Character> characters(std::string_view text) {
  std::vector<Character> result;
  result.reserve(text.size());
  CharacterCursor cursor(text);
  Character character;
  while (cursor.next(character))
    result.push_back(character);
  return result;
}

std::vector<std::string_view> characterTexts(std::string_view text) {
  std::vector<std::string_view> result;
  result.reserve(text.size());
  CharacterCursor cursor(text);
  Character character;
  while (cursor.next(character))
    result.push_back(character.in(text));
  return result;
}

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  CharacterCursor cursor(text);
  Character character;
  while (cursor.next(character))
    ++count;
  return count;
}

std::string_view characterPrefix(std::string_view text, std::size_t count) {
  std::size_t end = 0;
  CharacterCursor cursor(text);
  Character character;
  for (std::size_t i = 0; i < count && cursor.next(character); ++i)
    end = character.end;
  return text.substr(0, end);
}

bool isLetter(char32_t c) {
  if (c < 0x80)
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  switch (categoryOf(c)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
      return true;
    default:
      return false;
  }
}

bool isNumber(char32_t c) {
  if (c < 0x80)
    return c >= '0' && c <= '9';
  switch (categoryOf(c)) {
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

bool isWhitespace(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
    return true;
  if (c < 0x80)
    return c == ' ';
  switch (categoryOf(c)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

bool isNewline(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isHorizontalSpace(char32_t c) {
  if (c < 0x80)
    return c == ' ' || c == '\t';
  return categoryOf(c) == UTF8PROC_CATEGORY_ZS;
}

bool isLowercase(char32_t c) {
  if (c < 0x80)
    return c >= 'a' && c <= 'z';
  return utf8proc_islower(asCodePoint(c));
}

bool isUppercase(char32_t c) {
  if (c < 0x80)
    return c >= 'A' && c <= 'Z';
  return utf8proc_isupper(asCodePoint(c));
}

void appendLowercase(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    return;
  }
  if (c == 0x0130) {
    // The one unconditional multi-scalar lower-case mapping (utf8proc knows
    // only the single-scalar ones): the dot stays.
    out.push_back('i');
    appendUtf8(out, 0x0307);
    return;
  }
  appendUtf8(out, static_cast<char32_t>(utf8proc_tolower(asCodePoint(c))));
}

std::string lowercased(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    appendLowercase(result, scalar.value);
    position = scalar.end;
  }
  return result;
}

std::string composed(std::string_view text) {
  if (isAscii(text))
    return std::string(text);
  // utf8proc refuses ill-formed input as a whole; repaired, it composes.
  std::string valid = toValidUtf8(text);
  utf8proc_uint8_t* output = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
                   static_cast<utf8proc_ssize_t>(valid.size()), &output,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(output, &std::free);
  if (length < 0)
    return valid;  // out of memory: uncomposed but still readable
  return std::string(reinterpret_cast<const char*>(output), static_cast<std::size_t>(length));
}

std::string_view trimmed(std::string_view text) {
  return trimmedWhere(text, isWhitespace);
}

std::string_view trimmedHorizontal(std::string_view text) {
  return trimmedWhere(text, isHorizontalSpace);
}

std::string_view trimmedSpacesAndTabs(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> splitWhitespace(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  bool inPiece = false;
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (isWhitespace(scalar.value)) {
      if (inPiece)
        pieces.push_back(text.substr(start, position - start));
      inPiece = false;
    } else if (!inPiece) {
      start = position;
      inPiece = true;
    }
    position = scalar.end;
  }
  if (inPiece)
    pieces.push_back(text.substr(start));
  return pieces;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  if (separator.empty())
    return {text};
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

}  // namespace parley::text
