#include "link/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

extern char** environ;

namespace parley::link::detail {

namespace {

class Fd {
 public:
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }
  void reset() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

struct Pipe {
  Fd read, write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      fail(errno, "pipe");
    read.adopt(fds[0]);
    write.adopt(fds[1]);
  }
};

}  // namespace

ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments) {
  Pipe out, err;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);

  std::vector<std::string> argvStrings{program.string()};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : argvStrings)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    fail(spawned, program.string());
  out.write.reset();
  err.write.reset();

  ProcessResult result;
  pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.error};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;  // cannot happen with valid descriptors; still reap the child
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll ignores negative descriptors
        --open;
      }
    }
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      fail(errno, "waitpid");
  }
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  else
    result.exitCode = WEXITSTATUS(status);
  return result;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr)
    return std::nullopt;
  std::string_view rest = path;
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    // An empty entry means the current directory, which is never searched
    // for a program we run on the user's behalf.
    if (!dir.empty()) {
      std::filesystem::path candidate = std::filesystem::path(dir) / name;
      if (isExecutableFile(candidate))
        return candidate;
    }
    if (colon == std::string_view::npos)
      return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < bytes.size()) {
    const unsigned char c = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c < 0x80) {
      length = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0)
        low = 0xA0;  // no overlong forms
      if (c == 0xED)
        high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0)
        low = 0x90;
      if (c == 0xF4)
        high = 0x8F;  // nothing above U+10FFFF
    }
    std::size_t valid = length == 0 ? 0 : 1;
    for (std::size_t k = 1; k < length && i + k < bytes.size(); ++k) {
      const unsigned char b = byte(i + k);
      const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
      if (!ok)
        break;
      ++valid;
    }
    if (length != 0 && valid == length) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      // One replacement per maximal invalid prefix.
      out += "\uFFFD";
      i += std::max<std::size_t>(valid, 1);
    }
  }
  return out;
}

}  // namespace parley::link::detail
