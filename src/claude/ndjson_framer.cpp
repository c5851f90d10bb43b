#include "claude/ndjson_framer.hpp"

namespace parley::claude {

namespace {

bool isJsonWhitespace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool onlyWhitespace(std::string_view text) {
  for (const char c : text) {
    if (!isJsonWhitespace(c))
      return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> NDJSONFramer::append(std::string_view bytes) {
  std::vector<std::string> lines;
  buffer_.append(bytes);
  std::size_t lineStart = 0;
  std::size_t searchFrom = scanned_;
  bool oversize = false;
  for (std::size_t feed; (feed = buffer_.find('\n', searchFrom)) != std::string::npos;) {
    const std::string_view line(buffer_.data() + lineStart, feed - lineStart);
    if (line.size() > maxFrame) {
      // Whether an oversize line's feed arrived in the same read as its
      // excess bytes depends on how the kernel split the stream; judging
      // every line, complete or not, keeps the outcome the same either way.
      oversize = true;
      break;
    }
    if (!onlyWhitespace(line))
      lines.emplace_back(line);
    lineStart = feed + 1;
    searchFrom = lineStart;
  }
  buffer_.erase(0, lineStart);
  scanned_ = buffer_.size();
  if (oversize || buffer_.size() > maxFrame) {
    overflowed_ = true;
    std::string().swap(buffer_);
    scanned_ = 0;
  }
  return lines;
}

std::vector<std::string> NDJSONFramer::finish() {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < buffer_.size() && isJsonWhitespace(buffer_[start]))
    ++start;
  if (start < buffer_.size())
    lines.push_back(buffer_.substr(start));
  std::string().swap(buffer_);
  scanned_ = 0;
  return lines;
}

}  // namespace parley::claude
