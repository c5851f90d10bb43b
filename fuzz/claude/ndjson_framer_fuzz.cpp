// Feeds an arbitrary byte stream to the hook socket's framer in arbitrary
// pieces. However the stream is cut, the lines must be the ones a plain
// reading of the whole stream gives: each complete line that holds more than
// JSON white space, then the rest without its leading white space. Every
// line is also handed to the hook-line decoder, as the listener does.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "claude/ndjson_framer.hpp"
#include "protocol/hook_payload.hpp"

using namespace parley;

namespace {

bool isJsonWhitespace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

std::vector<std::string> expectedLines(const std::string& stream, std::string& rest) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t feed; (feed = stream.find('\n', start)) != std::string::npos;) {
    const std::string line = stream.substr(start, feed - start);
    bool blank = true;
    for (const char c : line)
      blank = blank && isJsonWhitespace(c);
    if (!blank)
      lines.push_back(line);
    start = feed + 1;
  }
  rest = stream.substr(start);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  claude::NDJSONFramer framer;
  std::string stream;
  std::vector<std::string> lines;
  while (provider.remaining_bytes() > 0) {
    const std::string piece =
        provider.ConsumeRandomLengthString(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
    stream += piece;
    for (std::string& line : framer.append(piece))
      lines.push_back(std::move(line));
  }
  std::string rest;
  if (lines != expectedLines(stream, rest) || framer.overflowed() ||
      framer.pendingBytes() != rest.size())
    std::abort();

  std::size_t first = 0;
  while (first < rest.size() && isJsonWhitespace(rest[first]))
    ++first;
  const std::vector<std::string> last = framer.finish();
  if (last != (first < rest.size() ? std::vector<std::string>{rest.substr(first)}
                                   : std::vector<std::string>{}) ||
      framer.pendingBytes() != 0)
    std::abort();

  for (const std::string& line : lines) {
    try {
      (void)protocol::HookPayload::decode(line);
    } catch (const protocol::DecodeError&) {
    }
  }
  return 0;
}
