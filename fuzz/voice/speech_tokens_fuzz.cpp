// Feeds arbitrary recogniser output and spoken text to the tokenizer. Tokens
// are non-empty, valid UTF-8, lower case, free of white space and
// apostrophes; a prefix is the start of the full list; the spelling's
// normalisation form never changes the tokens; and similarity is a symmetric
// score in [0, 1] that is 1 for a text against itself.

#include <fuzzer/FuzzedDataProvider.h>
#include <utf8proc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "text/unicode.hpp"
#include "voice/speech_tokens.hpp"

using namespace parley;
using voice::TokenList;

namespace {

// Canonical decomposition (NFD); the composed form is text::composed.
std::string decomposed(const std::string& valid) {
  utf8proc_uint8_t* output = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
                   static_cast<utf8proc_ssize_t>(valid.size()), &output,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(output, &std::free);
  if (length < 0)
    std::abort();
  return std::string(reinterpret_cast<const char*>(output), static_cast<std::size_t>(length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::size_t prefixLength = provider.ConsumeIntegralInRange<std::size_t>(0, 8);
  const std::string other = provider.ConsumeRandomLengthString(64);
  const std::string text = provider.ConsumeRemainingBytesAsString();

  const TokenList tokens = voice::SpeechTokens::tokenize(text);
  for (const std::string& token : tokens) {
    if (token.empty() || !text::isValidUtf8(token) || text::lowercased(token) != token ||
        token.find('\'') != std::string::npos || token.find("\u2019") != std::string::npos ||
        text::splitWhitespace(token).size() != 1 || text::splitWhitespace(token)[0] != token)
      std::abort();
  }
  const TokenList prefix = voice::SpeechTokens::tokenizePrefix(text, prefixLength);
  if (prefix != TokenList(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               prefixLength, tokens.size()))))
    std::abort();

  const std::string valid = text::toValidUtf8(text);
  if (voice::SpeechTokens::tokenize(valid) != tokens ||
      voice::SpeechTokens::tokenize(decomposed(valid)) != tokens ||
      voice::SpeechTokens::tokenize(text::composed(valid)) != tokens)
    std::abort();

  const double score = voice::SpeechTokens::similarity(text, other);
  if (!(score >= 0.0 && score <= 1.0) || score != voice::SpeechTokens::similarity(other, text) ||
      voice::SpeechTokens::similarity(text, text) != 1.0)
    std::abort();
  return 0;
}
