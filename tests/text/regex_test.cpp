#include "text/regex.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace parley::text {
namespace {

TEST(Regex, FirstMatchGivesTheWholeMatchAndEveryGroup) {
  const Regex option(R"(^\s*[❯>]?\s*(\d+)\.\s+(.+?)\s*$)");
  const auto m = option.firstMatch("❯ 2. Yes, and don't ask again  ");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group(0), "❯ 2. Yes, and don't ask again  ");
  EXPECT_EQ(m->group(1), "2");
  EXPECT_EQ(m->group(2), "Yes, and don't ask again");
  EXPECT_EQ(m->group(7), "");  // no such group
  EXPECT_FALSE(option.firstMatch("Do you want to proceed?"));

  // A group that takes no part is empty, and still counted.
  const Regex paste(R"(^\[Pasted text #\d+(?: \+(\d+) lines)?\]$)");
  const auto collapsed = paste.firstMatch("[Pasted text #3]");
  ASSERT_TRUE(collapsed);
  EXPECT_EQ(collapsed->groups.size(), 2u);
  EXPECT_EQ(collapsed->group(1), "");
  EXPECT_EQ(paste.firstMatch("[Pasted text #3 +12 lines]")->group(1), "12");
}

TEST(Regex, ClassesAndWordBoundariesAreUnicodeAware) {
  const Regex word(R"(\b\w+\b)");
  std::vector<std::string_view> words;
  word.forEachMatch("naïve café — 東京 ٣٤",
                    [&](const Regex::Match& m) { words.push_back(m.group(0)); });
  EXPECT_EQ(words, (std::vector<std::string_view>{"naïve", "café", "東京", "٣٤"}));
  EXPECT_TRUE(Regex(R"(^\s+$)").search("\u00a0\u3000\t").value());
  EXPECT_TRUE(Regex("STRASSE|ÉTÉ", Regex::Options::caseless).search("un été").value());
  EXPECT_FALSE(Regex("ÉTÉ").search("un été").value());
  EXPECT_EQ(Regex("É").pattern(), "É");
}

TEST(Regex, ScansAndReplacesEveryMatchLeftToRight) {
  const Regex link(R"(\[([^\]]*)\]\(([^)]*)\))");
  EXPECT_EQ(link.replaceAllWithGroup("see [the log](log.txt) and [x](y).", 1),
            "see the log and x.");
  EXPECT_EQ(Regex(R"(\s+)").replaceAllWith("  a \n\t b ", " "), " a b ");
  EXPECT_EQ(Regex("o").replaceAll(
                "foo", [](const Regex::Match& m) { return "[" + std::to_string(m.begin) + "]"; }),
            "f[1][2]");
  EXPECT_EQ(Regex("z").replaceAllWith("abc", "-"), "abc");

  // An empty match advances by a whole character, never into its bytes.
  std::vector<std::size_t> at;
  EXPECT_EQ(Regex("x*").forEachMatch("é€", [&](const Regex::Match& m) { at.push_back(m.begin); }),
            Regex::Outcome::completed);
  EXPECT_EQ(at, (std::vector<std::size_t>{0, 2, 5}));
  EXPECT_EQ(Regex("x*").replaceAllWith("é€", "|"), "|é|€|");
}

TEST(Regex, ACallbackMayRunOtherPatternsOnTheSameThread) {
  const Regex outer(R"((\w+)=(\w+))");
  const Regex inner(R"((\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d)(\d))");
  std::vector<std::string> seen;
  outer.forEachMatch("a=1 b=2", [&](const Regex::Match& m) {
    // A wider pattern in between must not disturb the outer match.
    const auto digits = inner.firstMatch("123456789012345678");
    ASSERT_TRUE(digits);
    EXPECT_EQ(digits->group(18), "8");
    seen.push_back(std::string(m.group(1)) + std::string(m.group(2)));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a1", "b2"}));
}

TEST(Regex, BadPatternsThrowAndBadSubjectsNeverMatch) {
  EXPECT_THROW(Regex("(unclosed"), std::invalid_argument);
  try {
    Regex("a{2,1}");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("bad pattern at"), std::string::npos);
  }

  const Regex any(".");
  EXPECT_FALSE(any.firstMatch("a\xFF"));
  EXPECT_EQ(any.search("a\xFF"), std::nullopt);
  EXPECT_EQ(any.forEachMatch("a\xFF", [](const Regex::Match&) { FAIL(); }), Regex::Outcome::gaveUp);
  EXPECT_EQ(any.replaceAllWith("a\xFF", "-"), "a\xFF");
}

TEST(Regex, DeepBacktrackingStillGetsAnAnswer) {
  // Nested groups over a long subject need more than the JIT stack holds;
  // the interpreter takes over and answers.
  const Regex nested(R"(^(a|b)*c$)");
  std::string subject(200000, 'a');
  EXPECT_EQ(nested.search(subject + "c"), true);
  EXPECT_EQ(nested.search(subject), false);
}

TEST(Regex, OnePatternServesManyThreads) {
  const Regex pattern(R"((\w+)@(\w+))");
  std::vector<std::thread> threads;
  std::vector<int> counts(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        // Appended, not prepended: GCC 12 at -O2 misreads "x" + std::to_string(n)
        // as an overlapping copy (-Wrestrict).
        const std::string host = std::string("h").append(std::to_string(i));
        const std::string subject = std::string("u").append(std::to_string(t)) + "@" + host;
        const auto m = pattern.firstMatch(subject);
        if (m && m->group(2) == host)
          ++counts[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(counts, (std::vector<int>(4, 500)));
}

}  // namespace
}  // namespace parley::text
