#pragma once

// Unicode facts from utf8proc: user-perceived characters, classes of
// scalars, lower-casing, composition, and trimming and splitting by them.
// Everything accepts any bytes and never throws: ill-formed sequences read
// as U+FFFD (see utf8.hpp), so they are never letters, numbers or white
// space.
//
// "Character" means an extended grapheme cluster (UAX #29): what a person
// sees as one letter, including its combining marks, an emoji with its
// modifiers, or a CR LF pair. Agent prose, recogniser output and screen
// captures are measured and cut in characters, as Swift and the phone do.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.hpp"

namespace parley::text {

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
  std::string_view in(std::string_view text) const { return text.substr(begin, end - begin); }
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
        // Between two ASCII scalars only CR LF stays together, which keeps
        // the common case off utf8proc's state machine; the state may be
        // reset after any break.
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
// The bytes of each character, as views into `text`.
std::vector<std::string_view> characterTexts(std::string_view text);
std::size_t characterCount(std::string_view text);
// The first `count` characters of `text` (all of it when it is shorter).
std::string_view characterPrefix(std::string_view text, std::size_t count);

// Classes of a scalar by its general category (letters L*, numbers N*) or by
// a property: White_Space (which includes the newlines), the newline set,
// tab or a space separator (Zs), and the derived Lowercase and Uppercase
// properties, which also hold for letters like U+00AA and circled letters
// whose category is not Ll or Lu.
bool isLetter(char32_t c);
bool isNumber(char32_t c);
inline bool isLetterOrNumber(char32_t c) {
  return isLetter(c) || isNumber(c);
}
bool isWhitespace(char32_t c);
bool isNewline(char32_t c);
bool isHorizontalSpace(char32_t c);
bool isLowercase(char32_t c);
bool isUppercase(char32_t c);

// Appends the full lower-case form of one scalar, taken on its own (no
// context, no locale): U+0130 becomes "i" plus U+0307; capital sharp s becomes
// sharp s, and sharp s stays itself (lower-casing is not case folding).
void appendLowercase(std::string& out, char32_t c);

// Lower-cases every scalar of a text; ill-formed bytes become U+FFFD.
std::string lowercased(std::string_view text);

// Canonical composition (NFC), so that a precomposed "é" and "e" plus U+0301
// compare equal as strings; ill-formed bytes become U+FFFD.
std::string composed(std::string_view text);

// The text without leading and trailing white space (newlines included).
std::string_view trimmed(std::string_view text);
// The text without leading and trailing tabs and space separators (Zs).
std::string_view trimmedHorizontal(std::string_view text);
// The text without leading and trailing U+0020 and U+0009 only.
std::string_view trimmedSpacesAndTabs(std::string_view text);

// The pieces between runs of white space; never an empty piece.
std::vector<std::string_view> splitWhitespace(std::string_view text);
// The pieces between occurrences of `separator`, empty ones kept; the whole
// text when the separator is empty.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);

}  // namespace parley::text
