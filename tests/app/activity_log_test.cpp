#include "app/activity_log.hpp"

#include <gtest/gtest.h>

namespace parley::app {
namespace {

TEST(ActivityLog, KeepsTheNewestFiveHundred) {
  ActivityLog log;
  for (int i = 1; i <= 501; ++i)
    log.append(LogEntry::Kind::cmd, "entry " + std::to_string(i));
  ASSERT_EQ(log.entries().size(), 500u);
  EXPECT_EQ(log.entries().front().text, "entry 2");
  EXPECT_EQ(log.entries().back().text, "entry 501");
  log.clear();
  EXPECT_TRUE(log.entries().empty());
}

TEST(ActivityLog, EqualTextsAreStillDistinctEntries) {
  ActivityLog log;
  const LogEntry a = log.append(LogEntry::Kind::you, "same");
  const LogEntry b = log.append(LogEntry::Kind::you, "same");
  EXPECT_NE(a.id, b.id);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.id.size(), 36u);
}

TEST(ActivityLog, LinesCarryTheTimeAndTheKindsMarker) {
  LogEntry e{"id", std::chrono::system_clock::now(), LogEntry::Kind::claude, "done"};
  const std::string line = formatLogLine(e);
  ASSERT_EQ(line.size(), std::string("12:34:56 ‹ done").size());
  EXPECT_EQ(line.substr(2, 1), ":");
  EXPECT_EQ(line.substr(8), " ‹ done");
  EXPECT_EQ(marker(LogEntry::Kind::you), "›");
  EXPECT_EQ(marker(LogEntry::Kind::cmd), "·");
  EXPECT_EQ(marker(LogEntry::Kind::error), "!");
}

TEST(ActivityLog, EntriesAreMadeSafeToPrintAndBounded) {
  ActivityLog log;
  const LogEntry& e = log.append(LogEntry::Kind::error,
                                 "type \x1b]52;c;AAAA\x07" + std::string(4 * 1024 * 1024, 'x'));
  EXPECT_EQ(e.text.find('\x1b'), std::string::npos);
  EXPECT_EQ(e.text.rfind("type \\x1b]52;c;AAAA\\x07x", 0), 0u);
  EXPECT_LE(e.text.size(), 2000u);
}

}  // namespace
}  // namespace parley::app
