#pragma once

// Unicode facts the projector needs, from utf8proc: user-perceived
// characters (grapheme clusters), case and number properties, lower-casing,
// and repair of byte strings that are not valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parley::narration::unicode {

// The text itself when it is valid UTF-8; otherwise a copy in which every
// byte that does not start a valid sequence became U+FFFD.
std::string toValidUtf8(std::string_view text);
bool isValidUtf8(std::string_view text);

// The code point at the start of `text` (U+FFFD for a bad sequence) and the
// number of bytes it spans (at least 1 unless `text` is empty).
std::int32_t decodeFirst(std::string_view text, std::size_t* length);

// Byte length of the grapheme cluster at the start of `text`.
std::size_t firstGraphemeLength(std::string_view text);
std::size_t graphemeCount(std::string_view text);
// The first `count` grapheme clusters of `text` (all of it when shorter).
std::string_view graphemePrefix(std::string_view text, std::size_t count);

// Calls `f(cluster)` for each grapheme cluster of `text` in order.
template <class F>
void forEachGrapheme(std::string_view text, F&& f) {
  while (!text.empty()) {
    const std::size_t n = firstGraphemeLength(text);
    f(text.substr(0, n));
    text.remove_prefix(n);
  }
}

// Properties of a character, judged by its first code point.
bool isUppercase(std::string_view character);
bool isLowercase(std::string_view character);
bool isNumeric(std::string_view character);
bool isHorizontalSpace(std::int32_t codePoint);  // tab or a space separator (Zs)

std::string lowercased(std::string_view text);

// `text` without leading and trailing tabs and space separators.
std::string_view trimHorizontal(std::string_view text);
// `text` without leading and trailing U+0020 and U+0009 only.
std::string_view trimSpacesAndTabs(std::string_view text);

void appendCodePoint(std::string& out, std::int32_t codePoint);

}  // namespace parley::narration::unicode
