#include "voice/unicode_text.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace parley::voice::unicode {

namespace {

bool inRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

utf8proc_category_t categoryOf(char32_t c) {
  return utf8proc_category(static_cast<utf8proc_int32_t>(c));
}

}  // namespace

Scalar decodeMultiByteAt(std::string_view text, std::size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const unsigned char lead = bytes[offset];

  // Well-formed sequences (Unicode table 3-7): the lead byte fixes the length
  // and the allowed range of the first continuation byte.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value = 0;
  if (inRange(lead, 0xC2, 0xDF)) {
    length = 2;
    value = lead & 0x1F;
  } else if (inRange(lead, 0xE0, 0xEF)) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (inRange(lead, 0xF0, 0xF4)) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return {replacementCharacter, offset, offset + 1, false};
  }

  std::size_t position = offset + 1;
  for (std::size_t i = 1; i < length; ++i, ++position) {
    if (position >= size || !inRange(bytes[position], low, high)) {
      // The maximal subpart read so far becomes one replacement character.
      return {replacementCharacter, offset, position, false};
    }
    value = (value << 6) | (bytes[position] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {value, offset, position, true};
}

bool isGraphemeBreak(char32_t previous, char32_t next, std::int32_t& state) {
  return utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                          static_cast<utf8proc_int32_t>(next), &state);
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
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool isNewline(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isLowercase(char32_t c) {
  return categoryOf(c) == UTF8PROC_CATEGORY_LL;
}

bool isUppercase(char32_t c) {
  return categoryOf(c) == UTF8PROC_CATEGORY_LU;
}

void appendLowercase(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    return;
  }
  if (c == 0x0130) {
    // The one unconditional multi-scalar lower-case mapping: the dot stays.
    appendUtf8(out, 'i');
    appendUtf8(out, 0x0307);
    return;
  }
  appendUtf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
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
  bool isAscii = true;
  for (const char byte : text) {
    if (static_cast<unsigned char>(byte) >= 0x80) {
      isAscii = false;
      break;
    }
  }
  if (isAscii)
    return std::string(text);

  utf8proc_uint8_t* output = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &output,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(output, &std::free);
  if (length < 0)
    return sanitized(text);  // not well-formed: keep it readable
  return std::string(reinterpret_cast<const char*>(output), static_cast<std::size_t>(length));
}

std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool found = false;
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (!isWhitespace(scalar.value)) {
      if (!found)
        begin = scalar.begin;
      found = true;
      end = scalar.end;
    }
    position = scalar.end;
  }
  return found ? text.substr(begin, end - begin) : std::string_view{};
}

std::size_t incompleteTailLength(std::string_view text) {
  for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
    const std::size_t offset = text.size() - length;
    const auto byte = static_cast<unsigned char>(text[offset]);
    if (inRange(byte, 0x80, 0xBF))
      continue;  // a continuation byte: look further back
    const Scalar scalar = decodeAt(text, offset);
    // A lead byte whose repair reaches the end of the text ran out of bytes;
    // any other ill-formed sequence stops earlier.
    return inRange(byte, 0xC2, 0xF4) && !scalar.isValid && scalar.end == text.size() ? length : 0;
  }
  return 0;
}

std::string sanitized(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (scalar.isValid) {
      result.append(text.substr(scalar.begin, scalar.end - scalar.begin));
    } else {
      appendUtf8(result, replacementCharacter);
    }
    position = scalar.end;
  }
  return result;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace parley::voice::unicode
