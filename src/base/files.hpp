#pragma once

// File operations for the few files Parley owns or edits: whole-file reads,
// atomic replacement, owner-only directories and advisory locks, so that the
// running application and a `parley` subcommand working at the same moment
// never lose each other's writes.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace parley::base {

// An operating-system failure with the operation, the path and strerror.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& operation, const std::filesystem::path& path, int error);
  // With `reason` in place of strerror's text.
  FileError(const std::string& operation, const std::filesystem::path& path, int error,
            const std::string& reason);
  int error() const { return error_; }

 private:
  int error_;
};

// What a whole-file read takes at most unless told otherwise: the JSON
// files Parley reads are a few kilobytes.
inline constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

// The whole file; nullopt when it does not exist. Other failures throw, so
// a file we own that cannot be read is never mistaken for an empty one.
// Only a regular file is read, and only up to `maxBytes`: a device, a pipe
// or a file that keeps growing (a link to /dev/zero) is refused with a
// FileError (EINVAL, EISDIR or EFBIG) instead of blocking or taking all
// memory.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path,
                                            std::size_t maxBytes = kMaxFileBytes);

// The whole file, or nullopt when it cannot be read for any reason: missing,
// a directory, permission denied, a /proc entry whose process has ended,
// not a regular file, longer than `maxBytes`. For files that belong to
// others and may vanish while we look. Works for /proc files, whose size
// reads as 0.
std::optional<std::string> readFileIfReadable(const std::filesystem::path& path,
                                              std::size_t maxBytes = kMaxFileBytes);

// Creates the directory and any missing parents; the directories this call
// creates get `mode`. An existing directory keeps its mode.
void createDirectories(const std::filesystem::path& path, mode_t mode = 0700);

// Replaces `path` with `content` through a temporary file in the same
// directory, flushed before the rename, so a reader sees the old or the new
// file and never a torn one. The new file gets `mode`; with `keepMode`, an
// existing file's permission bits win over `mode`.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                         mode_t mode = 0600, bool keepMode = false);

// An exclusive advisory lock (flock) held for the life of the object, on a
// lock file beside the protected one ("NAME.lock"), so the protected file
// itself can be replaced by rename while the lock is held.
class FileLock {
 public:
  enum class Wait { block, no };
  // With Wait::no, a lock another process holds throws a FileError whose
  // error() is EWOULDBLOCK instead of waiting for it.
  explicit FileLock(const std::filesystem::path& protectedFile, Wait wait = Wait::block);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace parley::base
