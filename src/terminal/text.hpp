#pragma once

// Small Unicode helpers shared by the terminal layer. Screens and child
// outputs are foreign bytes: everything here accepts any input and never
// throws on malformed UTF-8.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace parley::terminal::text {

// The bytes as valid UTF-8: each malformed sequence becomes U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// Extended grapheme clusters, as views into `utf8` (which must outlive them).
// Malformed bytes form clusters of their own.
std::vector<std::string_view> graphemes(std::string_view utf8);

// The first code point of `utf8`, or -1 when it does not start with one.
int firstCodePoint(std::string_view utf8);

// The code points of `utf8`; -1 for each malformed byte.
std::vector<int> codePoints(std::string_view utf8);

// A Unicode letter (general category L*).
bool isLetter(int codePoint);

// Unicode white space and line breaks: categories Zs, Zl, Zp, U+0009 to
// U+000D and U+0085. No-break spaces count, as they do on Claude Code's input
// line.
bool isWhitespace(int codePoint);

// Trims only " " and "\t".
std::string_view trimSpacesTabs(std::string_view s);

// Trims every isWhitespace code point from both ends.
std::string_view trimWhitespace(std::string_view s);

// Pieces between runs of isWhitespace code points; never empty pieces.
std::vector<std::string_view> splitWhitespace(std::string_view s);

// Every occurrence of `separator` splits; empty pieces are kept.
std::vector<std::string_view> split(std::string_view s, std::string_view separator);

// Lower case, code point by code point (simple case mapping).
std::string lowercased(std::string_view s);

// Length in UTF-16 code units: how JavaScript programs such as Claude Code
// measure strings.
std::size_t utf16Length(std::string_view utf8);

bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view part);

}  // namespace parley::terminal::text
