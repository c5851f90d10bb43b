// The changes of real repositories, made here with the git program: what is
// listed in which area, the diffs and their bounds, what is refused, and
// that reading leaves the repository exactly as it was.

#include "repo/changes_reader.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "base/process.hpp"
#include "support/test_support.hpp"
#include "text/utf8.hpp"

namespace parley::repo {
namespace {

namespace fs = std::filesystem;
using protocol::ChangedFile;
using Area = ChangedFile::Area;
using parley::test::writeFile;

// A repository in a temporary folder, its git isolated from the user's
// configuration.
class Repository {
 public:
  Repository() { git({"init", "-q", "-b", "main"}); }

  const fs::path& top() const { return dir_.path(); }
  fs::path operator/(const std::string& name) const { return dir_ / name; }

  void git(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"-C", top().string(),
                                     "-c", "user.name=Parley Test",
                                     "-c", "user.email=test@example.invalid"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto result = base::runProcess(
        "/usr/bin/git", argv,
        {.environment = std::vector<std::string>{"HOME=" + top().string(), "PATH=/usr/bin:/bin",
                                                 "GIT_CONFIG_NOSYSTEM=1"}});
    ASSERT_TRUE(result.ok()) << result.err;
  }

 private:
  parley::test::TempDir dir_;
};

// Every listed file in one line: area, change, path, old path, counts.
std::vector<std::string> described(const protocol::Changes& changes) {
  std::vector<std::string> lines;
  for (const ChangedFile& f : changes.files) {
    std::string line = std::string(protocol::rawValue(f.area)) + " " +
                       std::string(protocol::rawValue(f.change)) + " " + f.path;
    if (f.oldPath)
      line += " from " + *f.oldPath;
    line +=
        f.binary ? " binary" : " +" + std::to_string(f.added) + " -" + std::to_string(f.removed);
    lines.push_back(line);
  }
  return lines;
}

std::string lines(int count, const std::string& prefix) {
  std::string text;
  for (int i = 1; i <= count; ++i)
    text += prefix + std::to_string(i) + "\n";
  return text;
}

// A project with a change of every kind: a file staged and then edited
// again, a rename, a deletion, a changed binary, untracked files (one in a
// new folder, one with a name that is not UTF-8) and an ignored one.
class ChangesReader : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(repo / "a.txt", "one\ntwo\nthree\n");
    writeFile(repo / "old-name.txt", lines(10, "line "));
    writeFile(repo / "image.bin", std::string("\x89PNG\0\0\x01\x02", 8));
    writeFile(repo / "gone.txt", "bye\n");
    writeFile(repo / "tail.txt", "x");
    writeFile(repo / "keep.txt", "kept\n");
    writeFile(repo / ".gitignore", "*.log\n");
    repo.git({"add", "-A"});
    repo.git({"commit", "-q", "-m", "start"});

    writeFile(repo / "a.txt", "one\nTWO\nthree\n");
    repo.git({"add", "a.txt"});
    repo.git({"mv", "old-name.txt", "new-name.txt"});
    writeFile(repo / "a.txt", "one\nTWO\nthree\nfour\n");
    fs::remove(repo / "gone.txt");
    writeFile(repo / "image.bin", std::string("\x89PNG\0\0\x03\x04", 8));
    writeFile(repo / "tail.txt", "y");
    writeFile(repo / "notes/todo.md", "- a\n- b\n");
    writeFile(repo / "build.log", "ignored\n");
    writeFile(repo / "caf\xE9.txt", "latin-1 name\n");
  }

  Repository repo;
};

TEST_F(ChangesReader, ListsEachAreaInGitsOrderWithCountsRenamesAndBinaries) {
  const protocol::Changes changes = readChanges(repo.top());
  EXPECT_TRUE(changes.repository);
  EXPECT_EQ(changes.branch, "main");
  EXPECT_EQ(changes.unlisted, 0);
  EXPECT_EQ(described(changes), (std::vector<std::string>{
                                    "staged modified a.txt +1 -1",
                                    "staged renamed new-name.txt from old-name.txt +0 -0",
                                    "unstaged modified a.txt +1 -0",
                                    "unstaged deleted gone.txt +0 -1",
                                    "unstaged modified image.bin binary",
                                    "unstaged modified tail.txt +1 -1",
                                    "untracked added caf\uFFFD.txt +1 -0",
                                    "untracked added notes/todo.md +2 -0",
                                }));

  // From a folder inside the working tree: the same list, paths from the top.
  EXPECT_EQ(described(readChanges(repo / "notes")), described(changes));

  // Past the bound, files are counted rather than listed.
  const protocol::Changes few = readChanges(repo.top(), {.files = 3});
  EXPECT_EQ(few.files.size(), 3u);
  EXPECT_EQ(few.unlisted, 5);
}

TEST_F(ChangesReader, DiffsAreTheFilesHunksInTheirArea) {
  auto diff = [&](const std::string& path, Area area) {
    return readFileDiff(repo.top(), path, area);
  };
  EXPECT_EQ(diff("a.txt", Area::staged).diff, "@@ -1,3 +1,3 @@\n one\n-two\n+TWO\n three\n");
  EXPECT_EQ(diff("a.txt", Area::unstaged).diff, "@@ -1,3 +1,4 @@\n one\n TWO\n three\n+four\n");
  EXPECT_EQ(diff("tail.txt", Area::unstaged).diff,
            "@@ -1 +1 @@\n-x\n\\ No newline at end of file\n+y\n\\ No newline at end of file\n");
  EXPECT_EQ(diff("notes/todo.md", Area::untracked).diff, "@@ -0,0 +1,2 @@\n+- a\n+- b\n");
  EXPECT_EQ(diff("caf\uFFFD.txt", Area::untracked).diff, "@@ -0,0 +1 @@\n+latin-1 name\n");

  const protocol::FileDiff renamed = diff("new-name.txt", Area::staged);
  EXPECT_EQ(renamed.file.oldPath, "old-name.txt");
  EXPECT_EQ(renamed.diff, "");
  const protocol::FileDiff binary = diff("image.bin", Area::unstaged);
  EXPECT_TRUE(binary.file.binary);
  EXPECT_EQ(binary.diff, "");
  EXPECT_FALSE(binary.truncated);
}

TEST_F(ChangesReader, LongDiffsAreCutAtTheBoundAndValidText) {
  writeFile(repo / "big.txt", lines(40000, "0123456789 "));
  const protocol::FileDiff big = readFileDiff(repo.top(), "big.txt", Area::untracked);
  EXPECT_TRUE(big.truncated);
  EXPECT_LE(big.diff.size(), 256u * 1024);
  EXPECT_GT(big.diff.size(), 250u * 1024);
  EXPECT_EQ(big.diff.back(), '\n');
  EXPECT_NE(big.diff.find("\n+0123456789 1\n"), std::string::npos);

  // One line longer than the bound is cut between characters, not inside one.
  std::string accents;
  for (int i = 0; i < 100; ++i)
    accents += "\u00e9";
  writeFile(repo / "accents.txt", accents + "\n");
  const protocol::FileDiff cut =
      readFileDiff(repo.top(), "accents.txt", Area::untracked, {.diffBytes = 40});
  EXPECT_TRUE(cut.truncated);
  EXPECT_LE(cut.diff.size(), 40u);
  EXPECT_TRUE(text::isValidUtf8(cut.diff));
  EXPECT_EQ(cut.diff.rfind("@@ -0,0 +1 @@\n+\u00e9\u00e9", 0), 0u) << cut.diff;
}

TEST_F(ChangesReader, OnlyListedFilesAreDiffedAndAFolderOutsideGitSaysSo) {
  writeFile(repo.top().parent_path() / "outside.txt", "secret\n");
  for (const auto& [path, area] : std::vector<std::pair<std::string, Area>>{
           {"keep.txt", Area::unstaged},         // tracked, unchanged
           {"a.txt", Area::untracked},           // changed, in another area
           {"build.log", Area::untracked},       // ignored
           {"../outside.txt", Area::untracked},  // not in the working tree
           {"*.txt", Area::unstaged},            // a pattern is no path
           {"", Area::unstaged}}) {
    try {
      readFileDiff(repo.top(), path, area);
      ADD_FAILURE() << path << " was diffed";
    } catch (const ReadError& e) {
      EXPECT_EQ(std::string(e.what()),
                path + " has no " + std::string(protocol::rawValue(area)) + " changes");
    }
  }

  parley::test::TempDir plain;
  const protocol::Changes none = readChanges(plain.path());
  EXPECT_FALSE(none.repository);
  EXPECT_TRUE(none.files.empty());
  EXPECT_THROW(readFileDiff(plain.path(), "a.txt", Area::unstaged), ReadError);
}

// Every file under `top`, .git included: content and modification time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const fs::path& top) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (entry.is_regular_file())
      files[entry.path().string()] = {parley::test::readFile(entry.path()),
                                      entry.last_write_time()};
  }
  return files;
}

TEST_F(ChangesReader, ReadingChangesNothingNotEvenTheIndex) {
  // An unchanged file with a new time: `git status` would rewrite the index
  // to record it; a reader must not.
  fs::last_write_time(repo / "keep.txt",
                      fs::last_write_time(repo / "keep.txt") + std::chrono::hours(1));
  const auto before = snapshot(repo.top());
  const protocol::Changes changes = readChanges(repo.top());
  for (const ChangedFile& f : changes.files)
    readFileDiff(repo.top(), f.path, f.area);
  EXPECT_EQ(snapshot(repo.top()), before);
}

}  // namespace
}  // namespace parley::repo
