#include "claude/transcript_tailer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>

#include "claude/worker_pool.hpp"
#include "support/test_support.hpp"

namespace parley::claude {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string promptLine(const std::string& text) {
  return R"({"type":"user","uuid":"u-)" + text + R"(","sessionId":"s","message":{"content":")" +
         text + "\"}}\n";
}

void append(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

void replaceContent(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

class TranscriptTailerTest : public ::testing::Test {
 protected:
  std::shared_ptr<TranscriptTailer> follow(const fs::path& path, std::uint64_t offset = 0) {
    auto tailer = TranscriptTailer::create(pool.executor(), path, offset, 5ms);
    tailer->setOnEvent([this](const TranscriptEvent& event) {
      std::lock_guard lock(mutex);
      prompts.push_back(std::get<TranscriptEvent::UserPrompt>(event.kind).text);
      endOffsets.push_back(event.endOffset);
    });
    tailer->setOnFinish([this] {
      std::lock_guard lock(mutex);
      ++finishes;
    });
    tailer->start();
    return tailer;
  }

  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return prompts;
  }
  bool waitForPrompts(const std::vector<std::string>& expected) {
    return test::waitUntil([&] { return received() == expected; });
  }
  // The tailer has read everything up to `size` (so a missing event is
  // really missing, not late).
  static bool waitForOffset(TranscriptTailer& tailer, std::uint64_t size) {
    return test::waitUntil([&] { return tailer.currentOffset() == size; });
  }

  test::TempDir dir;
  fs::path file = dir / "project" / "session.jsonl";
  std::mutex mutex;
  std::vector<std::string> prompts;
  std::vector<std::uint64_t> endOffsets;
  int finishes = 0;
  test::WorkerPool pool;  // last: its threads stop before the state above goes
};

TEST_F(TranscriptTailerTest, FollowsAFileWrittenInPieces) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("one") + promptLine("two"));
  auto tailer = follow(file);
  ASSERT_TRUE(waitForPrompts({"one", "two"}));

  const std::string three = promptLine("three");
  append(file, three.substr(0, 20));
  ASSERT_TRUE(waitForOffset(*tailer, fs::file_size(file)));
  EXPECT_EQ(received(), (std::vector<std::string>{"one", "two"})) << "half a line is no event";
  append(file, three.substr(20));
  ASSERT_TRUE(waitForPrompts({"one", "two", "three"}));

  std::lock_guard lock(mutex);
  EXPECT_EQ(endOffsets,
            (std::vector<std::uint64_t>{promptLine("one").size(),
                                        promptLine("one").size() + promptLine("two").size(),
                                        fs::file_size(file)}));
}

TEST_F(TranscriptTailerTest, StartingAtTheEndReadsOnlyWhatIsAppended) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("old"));
  auto tailer = follow(file, fs::file_size(file));
  append(file, promptLine("new"));
  ASSERT_TRUE(waitForPrompts({"new"}));
}

TEST_F(TranscriptTailerTest, PicksUpAFileThatDoesNotExistYetEvenWithoutItsDirectory) {
  auto tailer = follow(file);
  ASSERT_TRUE(waitForOffset(*tailer, 0));
  fs::create_directories(file.parent_path());
  append(file, promptLine("born"));
  ASSERT_TRUE(waitForPrompts({"born"}));

  // The directory goes away and comes back.
  fs::remove_all(file.parent_path());
  fs::create_directories(file.parent_path());
  append(file, promptLine("reborn"));
  ASSERT_TRUE(waitForPrompts({"born", "reborn"}));
}

TEST_F(TranscriptTailerTest, AReplacedFileIsReadFromItsStart) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("first"));
  auto tailer = follow(file);
  ASSERT_TRUE(waitForPrompts({"first"}));

  const fs::path temp = file.parent_path() / "session.jsonl.tmp";
  append(temp, promptLine("replacement") + promptLine("and more"));
  fs::rename(temp, file);
  ASSERT_TRUE(waitForPrompts({"first", "replacement", "and more"}));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(endOffsets.back(), fs::file_size(file));
  }

  // A replacement that starts with the very same bytes is still a new file.
  append(temp, promptLine("replacement") + promptLine("and more") + promptLine("extra"));
  fs::rename(temp, file);
  ASSERT_TRUE(
      waitForPrompts({"first", "replacement", "and more", "replacement", "and more", "extra"}));
}

TEST_F(TranscriptTailerTest, SurvivesTheFileMovedAwayAndCreatedAgain) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("a"));
  auto tailer = follow(file);
  ASSERT_TRUE(waitForPrompts({"a"}));

  fs::rename(file, dir / "elsewhere.jsonl");
  append(dir / "elsewhere.jsonl", promptLine("not followed"));
  append(file, promptLine("b"));
  ASSERT_TRUE(waitForPrompts({"a", "b"}));
}

TEST_F(TranscriptTailerTest, TruncationStartsOverEvenWhenRewrittenPastTheOldEnd) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("before"));
  auto tailer = follow(file);
  ASSERT_TRUE(waitForPrompts({"before"}));

  replaceContent(file, "");
  ASSERT_TRUE(waitForOffset(*tailer, 0));
  append(file, promptLine("after"));
  ASSERT_TRUE(waitForPrompts({"before", "after"}));

  // Truncated and written longer than before in one go: the size never
  // drops below what was read, only the bytes tell.
  replaceContent(file, promptLine("rewritten, and longer than the old content"));
  ASSERT_TRUE(waitForPrompts({"before", "after", "rewritten, and longer than the old content"}));
}

TEST_F(TranscriptTailerTest, StopEndsTheStreamForGood) {
  fs::create_directories(file.parent_path());
  append(file, promptLine("seen"));
  auto tailer = follow(file);
  ASSERT_TRUE(waitForPrompts({"seen"}));
  tailer->stop();
  ASSERT_TRUE(test::waitUntil([&] {
    std::lock_guard lock(mutex);
    return finishes == 1;
  }));

  append(file, promptLine("after stop"));
  tailer->start();  // watches and reads again, but the stream has ended
  ASSERT_TRUE(waitForOffset(*tailer, fs::file_size(file)));
  tailer->stop();
  tailer->stop();
  EXPECT_EQ(tailer->currentOffset(), fs::file_size(file));
  EXPECT_EQ(received(), (std::vector<std::string>{"seen"}));
  std::lock_guard lock(mutex);
  EXPECT_EQ(finishes, 1);
}

}  // namespace
}  // namespace parley::claude
