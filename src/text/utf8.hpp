#pragma once

// UTF-8 at the level of bytes and scalars. Text from outside (tmux captures,
// child outputs, recogniser output, agent prose) is read tolerantly: an
// ill-formed byte sequence reads as one U+FFFD per maximal subpart, the
// substitution the Unicode Standard recommends and the one Swift, browsers
// and Node.js make, so the phone and we count the same characters. A
// sequence cut off at the end of a text stays one unit, which matters to
// callers that receive text in pieces and must not split it.

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::text {

inline constexpr char32_t replacementCharacter = 0xFFFD;

// One Unicode scalar and the bytes of the text it was read from.
struct Scalar {
  char32_t value = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  bool isValid = true;  // false when the bytes were ill-formed (value is U+FFFD)
};

// The part of decodeAt for non-ASCII lead bytes.
Scalar decodeMultiByteAt(std::string_view text, std::size_t offset);

// Reads the scalar starting at byte `offset` (which must be < text.size()).
inline Scalar decodeAt(std::string_view text, std::size_t offset) {
  const auto lead = static_cast<unsigned char>(text[offset]);
  if (lead < 0x80)
    return {lead, offset, offset + 1, true};
  return decodeMultiByteAt(text, offset);
}

// Appends the UTF-8 form of a scalar value.
void appendUtf8(std::string& out, char32_t c);

bool isValidUtf8(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD; a copy of the
// text itself when it is valid.
std::string toValidUtf8(std::string_view text);

// How many bytes at the end of the text are the start of a well-formed
// sequence whose remaining bytes have not arrived yet (0 to 3).
std::size_t incompleteTailLength(std::string_view text);

// Length in UTF-16 code units (each ill-formed sequence counting as its
// U+FFFD): how JavaScript programs such as Claude Code measure strings.
std::size_t utf16Length(std::string_view text);

}  // namespace parley::text
