#pragma once

// Unicode text primitives shared by the voice logic. Everything here reads
// UTF-8 tolerantly: an ill-formed byte sequence is taken as one U+FFFD per
// maximal subpart (the Unicode-recommended repair), so recogniser output or
// text cut in the middle of a sequence never stops the caller. A truncated
// sequence at the end of a text stays one unit, which matters to callers that
// receive text in pieces and must not split it.
//
// "Character" means an extended grapheme cluster: what a person sees as one
// letter, including its combining marks, an emoji with its modifiers, or a
// CR LF pair.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parley::voice::unicode {

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

// One grapheme cluster: its bytes and the scalar it starts with, which is
// what decides its class (letter, number, white space, ...).
struct Character {
  std::size_t begin = 0;
  std::size_t end = 0;
  char32_t first = 0;
  bool isSingleScalar = true;

  // True when this character is exactly the one scalar `c`; "." followed by
  // a combining mark is not a period.
  bool is(char32_t c) const { return isSingleScalar && first == c; }
};

// Whether a grapheme cluster boundary lies between two scalars (UAX #29);
// `state` carries what the rules for flags and emoji sequences need.
bool isGraphemeBreak(char32_t previous, char32_t next, std::int32_t& state);

// Walks a text one grapheme cluster at a time without allocating.
class CharacterCursor {
 public:
  explicit CharacterCursor(std::string_view text) : text_(text) {}

  // Fills `out` with the next character; false at the end of the text.
  bool next(Character& out) {
    if (position_ >= text_.size())
      return false;
    const Scalar first = decodeAt(text_, position_);
    out.begin = position_;
    out.first = first.value;
    out.isSingleScalar = true;
    char32_t previous = first.value;
    std::size_t position = first.end;
    while (position < text_.size()) {
      const Scalar scalar = decodeAt(text_, position);
      bool isBreak;
      if (previous < 0x80 && scalar.value < 0x80) {
        // Between two ASCII scalars only CR LF stays together; the state may
        // be reset after any break.
        isBreak = !(previous == '\r' && scalar.value == '\n');
        if (isBreak)
          breakState_ = 0;
      } else {
        isBreak = isGraphemeBreak(previous, scalar.value, breakState_);
      }
      if (isBreak)
        break;
      out.isSingleScalar = false;
      previous = scalar.value;
      position = scalar.end;
    }
    out.end = position;
    position_ = position;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::int32_t breakState_ = 0;
};

std::vector<Character> characters(std::string_view text);

// Classes of a scalar by its Unicode general category (letters L*, numbers N*)
// or property (White_Space; the newline set).
bool isLetter(char32_t c);
bool isNumber(char32_t c);
inline bool isLetterOrNumber(char32_t c) {
  return isLetter(c) || isNumber(c);
}
bool isWhitespace(char32_t c);  // includes newlines
bool isNewline(char32_t c);
bool isLowercase(char32_t c);
bool isUppercase(char32_t c);

// Appends the full lower-case form of one scalar, taken on its own (no
// context, no locale): U+0130 becomes "i" plus U+0307; capital sharp s becomes
// sharp s, and sharp s stays itself (lower-casing is not case folding).
void appendLowercase(std::string& out, char32_t c);

// Lower-cases every scalar of a text; ill-formed bytes become U+FFFD.
std::string lowercased(std::string_view text);

// Canonical composition (NFC) of a well-formed text, so that a precomposed
// "é" and "e" plus U+0301 compare equal as strings.
std::string composed(std::string_view text);

// The text with leading and trailing white space and newlines removed.
std::string_view trimmed(std::string_view text);

// How many bytes at the end of the text are the start of a well-formed
// sequence whose remaining bytes have not arrived yet (0 to 3).
std::size_t incompleteTailLength(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD.
std::string sanitized(std::string_view text);

void appendUtf8(std::string& out, char32_t c);

}  // namespace parley::voice::unicode
