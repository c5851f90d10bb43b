// Feeds arbitrary text in arbitrary pieces, with arbitrary limits, to the
// chunker that feeds the speech synthesiser. Chunks are non-empty, trimmed
// and valid UTF-8 however the bytes were cut; flushing empties the buffer;
// and nothing but white space is lost, added or reordered: the chunks hold
// the repaired stream's text.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/unicode.hpp"
#include "voice/sentence_chunker.hpp"

using namespace parley;

namespace {

std::string withoutWhitespace(std::string_view text) {
  std::string out;
  for (const std::string_view word : text::splitWhitespace(text))
    out += word;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  voice::SentenceChunker chunker(provider.ConsumeIntegralInRange<std::int64_t>(-2, 120),
                                 provider.ConsumeIntegralInRange<std::int64_t>(-2, 60),
                                 provider.ConsumeIntegralInRange<std::int64_t>(-2, 40));
  std::string stream;
  std::vector<std::string> chunks;
  while (provider.remaining_bytes() > 0) {
    const std::string piece =
        provider.ConsumeRandomLengthString(provider.ConsumeIntegralInRange<std::size_t>(0, 48));
    stream += piece;
    for (std::string& chunk : chunker.push(piece))
      chunks.push_back(std::move(chunk));
  }
  for (std::string& chunk : chunker.flush())
    chunks.push_back(std::move(chunk));

  if (!chunker.isEmpty() || !chunker.buffer().empty())
    std::abort();
  std::string spoken;
  for (const std::string& chunk : chunks) {
    if (chunk.empty() || !text::isValidUtf8(chunk) || text::trimmed(chunk) != chunk)
      std::abort();
    spoken += chunk;
  }
  if (withoutWhitespace(spoken) != withoutWhitespace(text::toValidUtf8(stream)))
    std::abort();
  return 0;
}
