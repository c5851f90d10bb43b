#include "text/utf8.hpp"

#include <utf8proc.h>

namespace parley::text {

namespace {

bool inRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Where the first ill-formed sequence starts, or text.size().
std::size_t firstInvalidOffset(std::string_view text) {
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (!scalar.isValid)
      return position;
    position = scalar.end;
  }
  return text.size();
}

}  // namespace

// utf8proc_iterate tells well-formed from ill-formed but not how many bytes
// the bad part spans, which the recommended substitution needs; the table of
// well-formed sequences (Unicode table 3-7) gives both.
Scalar decodeMultiByteAt(std::string_view text, std::size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const unsigned char lead = bytes[offset];

  // The lead byte fixes the length and the allowed range of the first
  // continuation byte (no overlong forms, no surrogates, nothing above
  // U+10FFFF).
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

void appendUtf8(std::string& out, char32_t c) {
  utf8proc_uint8_t buffer[4];
  const utf8proc_ssize_t length = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

bool isValidUtf8(std::string_view text) {
  return firstInvalidOffset(text) == text.size();
}

std::string toValidUtf8(std::string_view text) {
  const std::size_t firstInvalid = firstInvalidOffset(text);
  if (firstInvalid == text.size())
    return std::string(text);
  std::string result;
  result.reserve(text.size() + 16);
  result.append(text.substr(0, firstInvalid));
  for (std::size_t position = firstInvalid; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    if (scalar.isValid)
      result.append(text.substr(scalar.begin, scalar.end - scalar.begin));
    else
      appendUtf8(result, replacementCharacter);
    position = scalar.end;
  }
  return result;
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

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    units += scalar.value > 0xFFFF ? 2 : 1;
    position = scalar.end;
  }
  return units;
}

}  // namespace parley::text
