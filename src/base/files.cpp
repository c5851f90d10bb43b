#include "base/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace parley::base {

FileError::FileError(const std::string& operation, const std::filesystem::path& path, int error)
    : std::runtime_error(operation + " " + path.string() + ": " + std::strerror(error)),
      error_(error) {}

namespace {

// The whole file; on failure nullopt with the operation and errno.
std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         const char** failedOperation, int* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *failedOperation = "open";
    *error = errno;
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      *failedOperation = "read";
      *error = errno;
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return content;
}

}  // namespace

std::optional<std::string> readFileIfExists(const std::filesystem::path& path) {
  const char* operation = nullptr;
  int error = 0;
  std::optional<std::string> content = readWholeFile(path, &operation, &error);
  if (!content && error != ENOENT)
    throw FileError(operation, path, error);
  return content;
}

std::optional<std::string> readFileIfReadable(const std::filesystem::path& path) {
  const char* operation = nullptr;
  int error = 0;
  return readWholeFile(path, &operation, &error);
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
