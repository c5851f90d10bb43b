#include "narration/unicode_text.hpp"

#include <utf8proc.h>

namespace parley::narration::unicode {
namespace {

constexpr std::int32_t kReplacement = 0xFFFD;

const utf8proc_uint8_t* bytes(std::string_view text) {
  return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  }
  return true;
}

}  // namespace

std::int32_t decodeFirst(std::string_view text, std::size_t* length) {
  if (text.empty()) {
    *length = 0;
    return -1;
  }
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  utf8proc_int32_t cp = -1;
  const utf8proc_ssize_t n =
      utf8proc_iterate(bytes(text), static_cast<utf8proc_ssize_t>(text.size()), &cp);
  if (n <= 0 || cp < 0) {
    *length = 1;
    return kReplacement;
  }
  *length = static_cast<std::size_t>(n);
  return cp;
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    utf8proc_int32_t cp = -1;
    const utf8proc_ssize_t n = utf8proc_iterate(
        bytes(text.substr(i)), static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
    if (n <= 0 || cp < 0)
      return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string toValidUtf8(std::string_view text) {
  if (isAscii(text) || isValidUtf8(text))
    return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  while (!text.empty()) {
    std::size_t n = 0;
    const std::int32_t cp = decodeFirst(text, &n);
    if (cp == kReplacement && n == 1)
      appendCodePoint(out, kReplacement);
    else
      out.append(text.substr(0, n));
    text.remove_prefix(n);
  }
  return out;
}

std::size_t firstGraphemeLength(std::string_view text) {
  std::size_t n = 0;
  std::int32_t previous = decodeFirst(text, &n);
  if (n == 0)
    return 0;
  // Plain ASCII followed by ASCII never joins (CR LF excepted), which keeps
  // the common case off utf8proc's state machine.
  std::size_t length = n;
  utf8proc_int32_t state = 0;
  while (length < text.size()) {
    const auto nextLead = static_cast<unsigned char>(text[length]);
    if (previous < 0x80 && nextLead < 0x80 && !(previous == '\r' && nextLead == '\n'))
      break;
    std::size_t m = 0;
    const std::int32_t next = decodeFirst(text.substr(length), &m);
    if (utf8proc_grapheme_break_stateful(previous, next, &state))
      break;
    length += m;
    previous = next;
  }
  return length;
}

std::size_t graphemeCount(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    text.remove_prefix(firstGraphemeLength(text));
    ++count;
  }
  return count;
}

std::string_view graphemePrefix(std::string_view text, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < count && end < text.size(); ++i)
    end += firstGraphemeLength(text.substr(end));
  return text.substr(0, end);
}

bool isUppercase(std::string_view character) {
  std::size_t n = 0;
  const std::int32_t cp = decodeFirst(character, &n);
  if (n == 0)
    return false;
  if (cp < 0x80)
    return cp >= 'A' && cp <= 'Z';
  return utf8proc_isupper(cp);
}

bool isLowercase(std::string_view character) {
  std::size_t n = 0;
  const std::int32_t cp = decodeFirst(character, &n);
  if (n == 0)
    return false;
  if (cp < 0x80)
    return cp >= 'a' && cp <= 'z';
  return utf8proc_islower(cp);
}

bool isNumeric(std::string_view character) {
  std::size_t n = 0;
  const std::int32_t cp = decodeFirst(character, &n);
  if (n == 0)
    return false;
  if (cp < 0x80)
    return cp >= '0' && cp <= '9';
  const utf8proc_category_t category = utf8proc_category(cp);
  return category == UTF8PROC_CATEGORY_ND || category == UTF8PROC_CATEGORY_NL ||
         category == UTF8PROC_CATEGORY_NO;
}

bool isHorizontalSpace(std::int32_t codePoint) {
  if (codePoint == ' ' || codePoint == '\t')
    return true;
  if (codePoint < 0x80)
    return false;
  return utf8proc_category(codePoint) == UTF8PROC_CATEGORY_ZS;
}

std::string lowercased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    std::size_t n = 0;
    const std::int32_t cp = decodeFirst(text, &n);
    if (cp < 0x80)
      out += static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp - 'A' + 'a' : cp);
    else
      appendCodePoint(out, utf8proc_tolower(cp));
    text.remove_prefix(n);
  }
  return out;
}

std::string_view trimHorizontal(std::string_view text) {
  while (!text.empty()) {
    std::size_t n = 0;
    if (!isHorizontalSpace(decodeFirst(text, &n)))
      break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    // Step back to the start of the last code point.
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    std::size_t n = 0;
    const std::int32_t cp = decodeFirst(text.substr(start), &n);
    if (start + n != text.size() || !isHorizontalSpace(cp))
      break;
    text.remove_suffix(n);
  }
  return text;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

void appendCodePoint(std::string& out, std::int32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  const utf8proc_ssize_t n = utf8proc_encode_char(codePoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

}  // namespace parley::narration::unicode
