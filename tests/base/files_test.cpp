#include "base/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.hpp"

namespace parley::base {
namespace {

mode_t modeOf(const std::filesystem::path& p) {
  struct stat st;
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(Files, AtomicWriteReplacesContentAndLeavesNoTemporaryBehind) {
  test::TempDir dir;
  const auto file = dir / "devices.json";
  writeFileAtomically(file, "first");
  writeFileAtomically(file, "second, longer");
  EXPECT_EQ(readFileIfExists(file), "second, longer");
  EXPECT_EQ(modeOf(file), 0600u);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
    ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(Files, AtomicWriteCanKeepTheExistingPermissions) {
  test::TempDir dir;
  const auto file = dir / "settings.json";
  test::writeFile(file, "{}");
  ::chmod(file.c_str(), 0640);
  writeFileAtomically(file, "{\"a\":1}", 0600, /*keepMode=*/true);
  EXPECT_EQ(modeOf(file), 0640u);
  // Without keepMode the requested mode wins.
  writeFileAtomically(file, "{}", 0600);
  EXPECT_EQ(modeOf(file), 0600u);
  // A new file with keepMode gets the requested mode.
  writeFileAtomically(dir / "new.json", "{}", 0644, true);
  EXPECT_EQ(modeOf(dir / "new.json"), 0644u);
}

TEST(Files, AtomicWriteIntoAMissingDirectoryFailsWithTheReason) {
  test::TempDir dir;
  try {
    writeFileAtomically(dir / "missing" / "f", "x");
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.error(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
  }
}

TEST(Files, ReadingAMissingFileIsNotAnError) {
  test::TempDir dir;
  EXPECT_EQ(readFileIfExists(dir / "absent"), std::nullopt);
  EXPECT_THROW(readFileIfExists(dir.path()), FileError);  // a directory cannot be read
  try {
    readFileIfExists(dir.path());
  } catch (const FileError& e) {
    EXPECT_EQ(e.error(), EISDIR);
  }
}

TEST(Files, ReadingSomeoneElsesFileGivesNothingOnAnyFailure) {
  test::TempDir dir;
  test::writeFile(dir / "present", std::string("a\0b", 3));
  EXPECT_EQ(readFileIfReadable(dir / "present"), std::string("a\0b", 3));
  EXPECT_EQ(readFileIfReadable(dir / "absent"), std::nullopt);
  EXPECT_EQ(readFileIfReadable(dir.path()), std::nullopt);
  EXPECT_EQ(readFileIfReadable(dir / "absent" / "below"), std::nullopt);
  // /proc files report a size of 0 and still read completely.
  const std::optional<std::string> status = readFileIfReadable("/proc/self/status");
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("\nPid:\t" + std::to_string(::getpid()) + "\n"), std::string::npos);
  EXPECT_EQ(readFileIfExists("/proc/self/status")->substr(0, 5), "Name:");
}

TEST(Files, OnlyARegularFileIsReadAndOnlyUpToTheBound) {
  test::TempDir dir;
  auto failure = [](const std::filesystem::path& p, std::size_t bound) -> std::string {
    try {
      readFileIfExists(p, bound);
    } catch (const FileError& e) {
      return std::to_string(e.error()) + " " + e.what();
    }
    return "read";
  };
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: must not wait for one
  for (const char* name : {"zero", "fifo"}) {
    EXPECT_EQ(failure(dir / name, kMaxFileBytes),
              std::to_string(EINVAL) + " read " + (dir / name).string() + ": not a regular file");
    EXPECT_EQ(readFileIfReadable(dir / name), std::nullopt);
  }
  test::writeFile(dir / "big", std::string(4097, 'x'));
  EXPECT_EQ(failure(dir / "big", 4096),
            std::to_string(EFBIG) + " read " + (dir / "big").string() + ": larger than 4 KiB");
  EXPECT_EQ(readFileIfExists(dir / "big", 4097)->size(), 4097u);
  // A /proc file says its size is 0: the bound holds for what is read.
  EXPECT_EQ(readFileIfReadable("/proc/self/status", 64), std::nullopt);
}

TEST(Files, CreatedDirectoriesGetTheModeAndExistingOnesKeepTheirs) {
  test::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const mode_t old = ::umask(0);  // the mode must not depend on the umask
  createDirectories(dir / "a" / "b", 0700);
  ::umask(old);
  EXPECT_EQ(modeOf(dir / "a"), 0700u);
  EXPECT_EQ(modeOf(dir / "a" / "b"), 0700u);
  EXPECT_EQ(modeOf(dir.path()), 0755u);
  createDirectories(dir / "a" / "b");  // exists: nothing to do
  test::writeFile(dir / "file", "x");
  EXPECT_THROW(createDirectories(dir / "file" / "sub"), FileError);
}

TEST(Files, LockSerialisesReadModifyWriteAcrossProcesses) {
  test::TempDir dir;
  const auto counter = dir / "counter";
  writeFileAtomically(counter, "0");
  constexpr int kProcesses = 4, kIncrements = 50;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kIncrements; ++i) {
        FileLock lock(counter);
        const int value = std::stoi(*readFileIfExists(counter));
        writeFileAtomically(counter, std::to_string(value + 1));
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(readFileIfExists(counter), std::to_string(kProcesses * kIncrements));
}

}  // namespace
}  // namespace parley::base
