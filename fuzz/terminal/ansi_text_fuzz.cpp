// Feeds arbitrary captures to the escape-sequence reader. The plain text is
// valid UTF-8 without a single ESC whatever came in, segments are never
// empty and add up to the plain text, reading plain text again changes
// nothing, and text framed by a dim run around the middle piece reads back as
// exactly its three pieces.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "terminal/ansi_text.hpp"
#include "text/utf8.hpp"

using namespace parley;
using terminal::AnsiText::Segment;

namespace {

// Valid UTF-8 without escapes: what a terminal shows as text.
std::string printable(std::string_view bytes) {
  std::string text = text::toValidUtf8(bytes);
  std::erase(text, '\x1b');
  return text;
}

void checkCapture(std::string_view capture) {
  const std::vector<Segment> segments = terminal::AnsiText::segments(capture);
  std::string all;
  std::string real;
  for (const Segment& segment : segments) {
    if (segment.text.empty())
      std::abort();
    all += segment.text;
    if (!segment.dim)
      real += segment.text;
  }
  const std::string plain = terminal::AnsiText::stripped(capture);
  if (plain != all || terminal::AnsiText::realText(capture) != real)
    std::abort();
  if (!text::isValidUtf8(plain) || plain.find('\x1b') != std::string::npos)
    std::abort();
  if (terminal::AnsiText::stripped(plain) != plain)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  checkCapture(whole);

  FuzzedDataProvider provider(data, size);
  const std::string before = printable(provider.ConsumeRandomLengthString(64));
  const std::string dim = printable(provider.ConsumeRandomLengthString(64));
  const std::string after = printable(provider.ConsumeRemainingBytesAsString());
  const std::string framed = before + "\x1b[2m" + dim + "\x1b[0m" + after;
  checkCapture(framed);
  if (terminal::AnsiText::stripped(framed) != before + dim + after ||
      terminal::AnsiText::realText(framed) != before + after)
    std::abort();
  return 0;
}
