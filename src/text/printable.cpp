#include "text/printable.hpp"

#include <algorithm>
#include <cstdio>

#include "text/utf8.hpp"

namespace parley::text {

namespace {

constexpr std::string_view kEllipsis = "\u2026";

// The visible form of one scalar, in `out`.
void appendVisible(std::string& out, char32_t c) {
  char buffer[8];
  switch (c) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
    out += buffer;
  } else if (c >= 0x80 && c <= 0x9F) {
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
    out += buffer;
  } else {
    appendUtf8(out, c);
  }
}

}  // namespace

std::string printable(std::string_view text, std::size_t maxBytes) {
  maxBytes = std::max(maxBytes, kEllipsis.size());
  std::string out;
  out.reserve(std::min(text.size(), maxBytes) + 8);
  // The longest prefix after which the ellipsis still fits.
  std::size_t cut = 0;
  for (std::size_t position = 0; position < text.size();) {
    const Scalar scalar = decodeAt(text, position);
    position = scalar.end;
    appendVisible(out, scalar.value);
    if (out.size() > maxBytes) {
      out.resize(cut);
      out += kEllipsis;
      return out;
    }
    if (out.size() + kEllipsis.size() <= maxBytes)
      cut = out.size();
  }
  return out;
}

}  // namespace parley::text
