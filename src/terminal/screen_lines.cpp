#include "terminal/screen_lines.hpp"

#include "text/unicode.hpp"

namespace parley::terminal::screen {

namespace {

bool isBorderCodePoint(char32_t cp) {
  switch (cp) {
    case 0x2500:
    case 0x2502:
    case 0x250C:
    case 0x2510:
    case 0x2514:
    case 0x2518:
    case 0x251C:
    case 0x2524:
    case 0x252C:
    case 0x2534:
    case 0x253C:
      return true;
    default:
      return false;
  }
}

template <class Accept>
bool allCodePoints(std::string_view s, Accept accept) {
  for (std::size_t position = 0; position < s.size();) {
    const text::Scalar scalar = text::decodeAt(s, position);
    if (!accept(scalar.value))
      return false;
    position = scalar.end;
  }
  return true;
}

}  // namespace

bool isBorderLine(std::string_view line) {
  const std::string_view t = text::trimmedSpacesAndTabs(line);
  return !t.empty() && allCodePoints(t, isBorderCodePoint);
}

bool isDecorationLine(std::string_view line) {
  const std::string_view t = text::trimmedSpacesAndTabs(line);
  return !t.empty() &&
         allCodePoints(t, [](char32_t cp) { return cp == ' ' || (cp >= 0x2500 && cp <= 0x257F); });
}

std::vector<std::string_view> lines(std::string_view capture) {
  return text::split(capture, "\n");
}

}  // namespace parley::terminal::screen
