// Feeds arbitrary bytes to the Unicode helpers every layer reads outside text
// with. Repair gives valid UTF-8 and leaves valid text alone; characters tile
// the bytes exactly and count as they would after repair; cutting, trimming
// and lower-casing are stable when done twice; and pattern scans report
// ordered, non-overlapping matches inside the subject.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/regex.hpp"
#include "text/unicode.hpp"

using namespace parley;

namespace {

bool isSubview(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void checkScan(const text::Regex& pattern, std::string_view subject) {
  std::size_t previousEnd = 0;
  bool first = true;
  pattern.forEachMatch(subject, [&](const text::Regex::Match& m) {
    if (m.begin > m.end || m.end > subject.size() || (!first && m.begin < previousEnd) ||
        m.group(0) != subject.substr(m.begin, m.end - m.begin))
      std::abort();
    for (const std::string_view group : m.groups) {
      if (!isSubview(group, subject))
        std::abort();
    }
    previousEnd = m.end;
    first = false;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string valid = text::toValidUtf8(input);
  if (!text::isValidUtf8(valid) || text::toValidUtf8(valid) != valid ||
      (text::isValidUtf8(input) && valid != input))
    std::abort();
  if (text::utf16Length(input) != text::utf16Length(valid))
    std::abort();
  const std::size_t tail = text::incompleteTailLength(input);
  if (tail > 3 || tail > input.size() || (tail > 0 && text::isValidUtf8(input)))
    std::abort();

  const std::vector<text::Character> characters = text::characters(input);
  std::size_t at = 0;
  for (const text::Character& c : characters) {
    if (c.begin != at || c.end <= c.begin)
      std::abort();
    at = c.end;
  }
  if (at != input.size() || text::characterCount(input) != characters.size() ||
      text::characterCount(valid) != characters.size())
    std::abort();
  FuzzedDataProvider provider(data, size);
  const std::size_t count = provider.ConsumeIntegralInRange<std::size_t>(0, characters.size());
  const std::string_view prefix = text::characterPrefix(input, count);
  if (prefix.size() != (count == 0 ? 0 : characters[count - 1].end) ||
      text::characterPrefix(prefix, count) != prefix)
    std::abort();

  const std::string lower = text::lowercased(input);
  if (!text::isValidUtf8(lower) || text::lowercased(lower) != lower ||
      !text::isValidUtf8(text::composed(input)))
    std::abort();

  for (const auto trim : {&text::trimmed, &text::trimmedHorizontal, &text::trimmedSpacesAndTabs}) {
    const std::string_view once = trim(input);
    if (!isSubview(once, input) || trim(once) != once)
      std::abort();
  }
  std::string words;
  for (const std::string_view word : text::splitWhitespace(input)) {
    if (word.empty() || text::trimmed(word) != word)
      std::abort();
    words += word;
  }
  std::string unspaced;
  for (std::size_t position = 0; position < input.size();) {
    const text::Scalar scalar = text::decodeAt(input, position);
    if (!text::isWhitespace(scalar.value))
      unspaced.append(input.substr(position, scalar.end - position));
    position = scalar.end;
  }
  if (words != unspaced)
    std::abort();

  static const text::Regex word(R"(\b\w+\b)");
  static const text::Regex lazy(R"((\*\*|__)(.+?)\1|x*)");
  checkScan(word, valid);
  checkScan(lazy, valid);
  return 0;
}
