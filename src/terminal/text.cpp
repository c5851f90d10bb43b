#include "terminal/text.hpp"

#include <utf8proc.h>

namespace parley::terminal::text {

namespace {

constexpr int kReplacement = 0xFFFD;

// Decodes the code point at `pos`; returns its byte length (at least 1) and
// -1 as the code point for a malformed sequence.
std::size_t decodeAt(std::string_view s, std::size_t pos, int& codePoint) {
  utf8proc_int32_t cp = -1;
  const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                                  static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
  if (n <= 0) {
    codePoint = -1;
    return 1;
  }
  codePoint = cp;
  return static_cast<std::size_t>(n);
}

void appendCodePoint(std::string& out, int codePoint) {
  utf8proc_uint8_t buffer[4];
  const auto n = utf8proc_encode_char(codePoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

}  // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    int cp = 0;
    const std::size_t n = decodeAt(bytes, pos, cp);
    if (cp < 0)
      appendCodePoint(out, kReplacement);
    else
      out.append(bytes.substr(pos, n));
    pos += n;
  }
  return out;
}

std::vector<std::string_view> graphemes(std::string_view utf8) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  std::size_t pos = 0;
  int previous = -1;
  utf8proc_int32_t state = 0;
  while (pos < utf8.size()) {
    int cp = 0;
    const std::size_t n = decodeAt(utf8, pos, cp);
    if (pos > start) {
      bool brk = true;
      if (cp < 0 || previous < 0)
        state = 0;
      else
        brk = utf8proc_grapheme_break_stateful(previous, cp, &state);
      if (brk) {
        out.push_back(utf8.substr(start, pos - start));
        start = pos;
      }
    }
    previous = cp;
    pos += n;
  }
  if (pos > start)
    out.push_back(utf8.substr(start, pos - start));
  return out;
}

int firstCodePoint(std::string_view utf8) {
  if (utf8.empty())
    return -1;
  int cp = 0;
  decodeAt(utf8, 0, cp);
  return cp;
}

std::vector<int> codePoints(std::string_view utf8) {
  std::vector<int> out;
  for (std::size_t pos = 0; pos < utf8.size();) {
    int cp = 0;
    pos += decodeAt(utf8, pos, cp);
    out.push_back(cp);
  }
  return out;
}

bool isLetter(int codePoint) {
  if (codePoint < 0)
    return false;
  switch (utf8proc_category(codePoint)) {
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

bool isWhitespace(int codePoint) {
  if (codePoint < 0)
    return false;
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85)
    return true;
  switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

std::string_view trimSpacesTabs(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::string_view trimWhitespace(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last non-white code point
  bool seen = false;
  for (std::size_t pos = 0; pos < s.size();) {
    int cp = 0;
    const std::size_t n = decodeAt(s, pos, cp);
    if (!isWhitespace(cp)) {
      if (!seen)
        begin = pos;
      seen = true;
      end = pos + n;
    }
    pos += n;
  }
  return seen ? s.substr(begin, end - begin) : std::string_view{};
}

std::vector<std::string_view> splitWhitespace(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  bool inPiece = false;
  for (std::size_t pos = 0; pos < s.size();) {
    int cp = 0;
    const std::size_t n = decodeAt(s, pos, cp);
    if (isWhitespace(cp)) {
      if (inPiece)
        out.push_back(s.substr(start, pos - start));
      inPiece = false;
    } else if (!inPiece) {
      start = pos;
      inPiece = true;
    }
    pos += n;
  }
  if (inPiece)
    out.push_back(s.substr(start));
  return out;
}

std::vector<std::string_view> split(std::string_view s, std::string_view separator) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    const auto at = s.find(separator, start);
    if (at == std::string_view::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string lowercased(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) {
    int cp = 0;
    const std::size_t n = decodeAt(s, pos, cp);
    if (cp < 0)
      out.append(s.substr(pos, n));
    else
      appendCodePoint(out, utf8proc_tolower(cp));
    pos += n;
  }
  return out;
}

std::size_t utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    int cp = 0;
    pos += decodeAt(utf8, pos, cp);
    units += cp > 0xFFFF ? 2 : 1;
  }
  return units;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

}  // namespace parley::terminal::text
