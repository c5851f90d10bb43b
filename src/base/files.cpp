#include "base/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace parley::base {

FileError::FileError(const std::string& operation, const std::filesystem::path& path, int error)
    : FileError(operation, path, error, std::strerror(error)) {}

FileError::FileError(const std::string& operation, const std::filesystem::path& path, int error,
                     const std::string& reason)
    : std::runtime_error(operation + " " + path.string() + ": " + reason), error_(error) {}

namespace {

std::string sizeText(std::size_t bytes) {
  if (bytes % (1024 * 1024) == 0)
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
  if (bytes % 1024 == 0)
    return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " bytes";
}

struct ReadFailure {
  const char* operation = "";
  int error = 0;
  std::string reason;  // empty: strerror's
};

// The whole file; on failure nullopt and what failed. No exceptions: the
// /proc scans read many files that may be gone.
std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         ReadFailure& failure) {
  const auto fail = [&](const char* operation, int error, std::string reason = {}) {
    failure = ReadFailure{operation, error, std::move(reason)};
    return std::nullopt;
  };
  // Non-blocking, so a FIFO is refused below instead of waiting for a
  // writer; a regular file ignores the flag.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return fail("open", errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return fail("stat", errno);
  if (S_ISDIR(st.st_mode))
    return fail("read", EISDIR);
  if (!S_ISREG(st.st_mode))
    return fail("read", EINVAL, "not a regular file");
  const auto tooLarge = [&] { return fail("read", EFBIG, "larger than " + sizeText(maxBytes)); };
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes)
    return tooLarge();
  std::string content;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      // The size may read as 0 (/proc) or be out of date: the bound holds
      // for what is actually read.
      if (content.size() + static_cast<std::size_t>(n) > maxBytes)
        return tooLarge();
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return content;
    } else if (errno != EINTR) {
      return fail("read", errno);
    }
  }
}

}  // namespace

std::optional<std::string> readFileIfExists(const std::filesystem::path& path,
                                            std::size_t maxBytes) {
  ReadFailure failure;
  std::optional<std::string> content = readWholeFile(path, maxBytes, failure);
  if (!content && failure.error != ENOENT)
    throw failure.reason.empty()
        ? FileError(failure.operation, path, failure.error)
        : FileError(failure.operation, path, failure.error, failure.reason);
  return content;
}

std::optional<std::string> readFileIfReadable(const std::filesystem::path& path,
                                              std::size_t maxBytes) {
  ReadFailure failure;
  return readWholeFile(path, maxBytes, failure);
}

void createDirectories(const std::filesystem::path& path, mode_t mode) {
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = path; !p.empty(); p = p.parent_path()) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode))
        throw FileError("mkdir", p, ENOTDIR);
      break;
    }
    missing.push_back(p);
    if (p == p.parent_path())
      break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), mode) != 0 && errno != EEXIST)
      throw FileError("mkdir", *it, errno);
    // mkdir applies the umask; the mode asked for is the mode wanted.
    ::chmod(it->c_str(), mode);
  }
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                         bool keepMode) {
  if (keepMode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
      mode = st.st_mode & 07777;
  }
  std::string temp = path.string() + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0)
    throw FileError("create", temp, errno);
  auto fail = [&](const char* operation) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw FileError(operation, temp, error);
  };
  // mkstemp makes the file 0600; set the final bits before any byte lands so
  // the content is never readable more widely than intended.
  if (::fchmod(fd, mode) != 0)
    fail("chmod");
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      fail("write");
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0)
    fail("fsync");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw FileError("close", temp, error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw FileError("rename", path, error);
  }
}

FileLock::FileLock(const std::filesystem::path& protectedFile, Wait wait) {
  const std::filesystem::path lockPath = protectedFile.string() + ".lock";
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0)
    throw FileError("open", lockPath, errno);
  while (::flock(fd_, wait == Wait::block ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR)
      continue;
    const int error = errno;
    ::close(fd_);
    throw FileError("lock", lockPath, error);
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0)
    ::close(fd_);  // closing releases the lock
}

}  // namespace parley::base
