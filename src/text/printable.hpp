#pragma once

// Text from outside (a peer's message, a hook field, a program's output) on
// its way into a log line or a terminal: nothing in it may act on the
// terminal that shows it, and none of it may be arbitrarily long.

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::text {

// `text` made safe to print: every C0 control, DEL and C1 control is shown
// as a visible escape (ESC as "\x1b", CSI as "\u009b"; line feed, carriage
// return and tab as "\n", "\r", "\t"), so a log line stays one line and no
// escape sequence reaches a terminal; ill-formed UTF-8 becomes U+FFFD. When
// the result would exceed `maxBytes`, it is cut at a character boundary and
// ends in "…", the whole still within `maxBytes` (at least 3).
std::string printable(std::string_view text, std::size_t maxBytes);

// A name or word from outside (a device's name, a message's type, a host),
// as a log line quotes it: printable, and at most 200 bytes.
inline std::string shown(std::string_view text) {
  return printable(text, 200);
}

}  // namespace parley::text
