#pragma once

// Cuts a byte stream into newline-delimited lines. A relay writes one JSON
// object per line; the framer keeps only a bounded partial line so a peer that
// never sends a line feed cannot grow our memory without limit.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/hook_line_limits.hpp"

namespace parley::claude {

class NDJSONFramer {
 public:
  // The longest line kept, without its line feed; one more byte overflows.
  // Every line the relay can send fits.
  static constexpr std::size_t maxFrame = base::hookLineMaxBytes;

  // The complete lines now available, in order. Lines holding only JSON
  // whitespace are skipped; a carriage return before the line feed stays in
  // the line (JSON accepts it as trailing whitespace). When a line, complete
  // or still pending, grows past maxFrame, it and everything after it are
  // discarded and overflowed() turns true for good; lines cut before it in
  // the same call are still returned. The caller then drops the stream.
  std::vector<std::string> append(std::string_view bytes);

  // The final unterminated line without its leading whitespace, as zero or
  // one line (none when only whitespace is left). Empties the buffer.
  std::vector<std::string> finish();

  bool overflowed() const { return overflowed_; }
  std::size_t pendingBytes() const { return buffer_.size(); }

 private:
  std::string buffer_;
  // Bytes of buffer_ already searched for a line feed, so a long line
  // arriving in many pieces is scanned once, not once per piece.
  std::size_t scanned_ = 0;
  bool overflowed_ = false;
};

}  // namespace parley::claude
