#include "text/printable.hpp"

#include <gtest/gtest.h>

#include "text/utf8.hpp"

namespace parley::text {
namespace {

TEST(Printable, ControlsAreShownNotExecutedAndBadBytesRepaired) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain ünïcødé 🙂", "plain ünïcødé 🙂"},
      {"\x1b]0;pwned\x07title", "\\x1b]0;pwned\\x07title"},
      {"\x1b]52;c;ZXZpbA==\x1b\\", "\\x1b]52;c;ZXZpbA==\\x1b\\"},
      {"a\nfake line\r\tb", "a\\nfake line\\r\\tb"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"csi\u009b2J", "csi\\u009b2J"},
      {"bad \xff\xc3 end", "bad \uFFFD\uFFFD end"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(printable(in, 1000), out) << out;
}

TEST(Printable, LongTextIsCutAtACharacterBoundaryWithinTheBound) {
  // Exactly at the bound: kept whole.
  EXPECT_EQ(printable("abcdef", 6), "abcdef");
  EXPECT_EQ(printable("abcdefg", 6), "abc\u2026");
  // A four-byte character that does not fit goes whole, never in part.
  EXPECT_EQ(printable("ab🙂🙂", 8), "ab\u2026");
  EXPECT_EQ(printable("ab🙂🙂", 9), "ab🙂\u2026");
  // An escape is never cut in half either.
  EXPECT_EQ(printable("ab\x1b\x1b", 8), "ab\u2026");
  for (std::size_t bound : {3u, 4u, 7u, 100u}) {
    const std::string cut =
        printable(std::string(50, 'x') + "🙂\x1b" + std::string(50, 'y'), bound);
    EXPECT_LE(cut.size(), bound);
    EXPECT_TRUE(isValidUtf8(cut));
  }
}

}  // namespace
}  // namespace parley::text
