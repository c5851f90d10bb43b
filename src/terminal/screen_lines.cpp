#include "terminal/screen_lines.hpp"

#include "terminal/text.hpp"

namespace parley::terminal::screen {

namespace {

bool isBorderCodePoint(int cp) {
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
  for (int cp : text::codePoints(s)) {
    if (!accept(cp))
      return false;
  }
  return true;
}

}  // namespace

bool isBorderLine(std::string_view line) {
  const std::string_view t = text::trimSpacesTabs(line);
  return !t.empty() && allCodePoints(t, isBorderCodePoint);
}

bool isDecorationLine(std::string_view line) {
  const std::string_view t = text::trimSpacesTabs(line);
  return !t.empty() &&
         allCodePoints(t, [](int cp) { return cp == ' ' || (cp >= 0x2500 && cp <= 0x257F); });
}

std::vector<std::string_view> lines(std::string_view capture) {
  return text::split(capture, "\n");
}

}  // namespace parley::terminal::screen
