#pragma once

// Captured pane text with its terminal escapes still in it, turned into plain
// text and into runs of normal and faint ("dim") text. Claude Code draws its
// placeholder hints dim, so dropping dim runs leaves what a user typed.

#include <string>
#include <string_view>
#include <vector>

namespace parley::terminal::AnsiText {

struct Segment {
  std::string text;  // never empty
  bool dim = false;

  bool operator==(const Segment&) const = default;
};

// Escape sequences vanish; a control sequence ends at its first letter, as
// a terminal reads it. SGR 2 starts dim text, SGR 0 and 22 end it, and each
// of the three closes the run in progress, so neighbouring segments may share
// a dim value. Malformed UTF-8 becomes U+FFFD.
std::vector<Segment> segments(std::string_view text);

// The input with every escape sequence removed.
std::string stripped(std::string_view text);

// The non-dim text only.
std::string realText(std::string_view text);

}  // namespace parley::terminal::AnsiText

template <>
struct std::hash<parley::terminal::AnsiText::Segment> {
  std::size_t operator()(const parley::terminal::AnsiText::Segment& s) const {
    return std::hash<std::string>{}(s.text) ^ (s.dim ? 0x9e3779b97f4a7c15ULL : 0);
  }
};
