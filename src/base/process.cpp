#include "base/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>

extern char** environ;

namespace parley::base {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

// Close-on-exec, so a child that another thread starts meanwhile never
// inherits our ends (which would keep a pipe open and hide its end).
Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throwErrno(errno, "pipe");
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

class FileActions {
 public:
  FileActions() {
    if (const int rc = ::posix_spawn_file_actions_init(&actions_); rc != 0)
      throwErrno(rc, "posix_spawn_file_actions_init");
  }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  void dup2(int from, int to) {
    if (const int rc = ::posix_spawn_file_actions_adddup2(&actions_, from, to); rc != 0)
      throwErrno(rc, "posix_spawn_file_actions_adddup2");
  }
  void open(int fd, const char* path, int flags) {
    if (const int rc = ::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0); rc != 0)
      throwErrno(rc, "posix_spawn_file_actions_addopen");
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// The child starts with no blocked signals and SIGPIPE at its default,
// whatever the calling thread blocks or the application ignores, so a
// pipeline inside the child ends the way it would from a shell.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (const int rc = ::posix_spawnattr_init(&attributes_); rc != 0)
      throwErrno(rc, "posix_spawnattr_init");
    sigset_t none;
    sigemptyset(&none);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &pipe);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Writing to a pipe whose reader has gone raises SIGPIPE, which would end the
// whole application. The signal is blocked on this thread while we write, and
// one that our write raised is consumed before the mask is restored.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SigpipeGuard() {
    if (raised_ && !alreadyPending_) {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&set, nullptr, &zero) == -1 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  void noteRaised() { raised_ = true; }

 private:
  sigset_t old_;
  bool alreadyPending_ = false;
  bool raised_ = false;
};

// Waits for the child, through interruptions; fills in how it ended.
void reap(pid_t pid, ProcessResult& result) {
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR)
      throwErrno(errno, "waitpid");
  }
  if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
    result.status = 128 + result.signal;
  } else {
    result.status = WEXITSTATUS(wstatus);
  }
}

// Moves bytes until the child has closed both outputs and taken all of its
// input (or stopped reading it).
void exchange(Pipe& out, Pipe& err, std::optional<Pipe>& in,
              const std::optional<std::string>& input, ProcessResult& result) {
  SigpipeGuard guard;
  std::size_t written = 0;
  if (in) {
    const int flags = ::fcntl(in->write.get(), F_GETFL);
    ::fcntl(in->write.get(), F_SETFL, flags | O_NONBLOCK);
    if (input->empty())
      in->write.reset();
  }
  char buffer[65536];
  while (out.read || err.read || (in && in->write)) {
    pollfd fds[3];
    Fd* owners[3];
    nfds_t count = 0;
    if (out.read) {
      fds[count] = {out.read.get(), POLLIN, 0};
      owners[count++] = &out.read;
    }
    if (err.read) {
      fds[count] = {err.read.get(), POLLIN, 0};
      owners[count++] = &err.read;
    }
    if (in && in->write) {
      fds[count] = {in->write.get(), POLLOUT, 0};
      owners[count++] = &in->write;
    }
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR)
        continue;
      throwErrno(errno, "poll");
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (fds[k].revents == 0)
        continue;
      Fd& fd = *owners[k];
      if (in && &fd == &in->write) {
        const ssize_t n = ::write(fd.get(), input->data() + written, input->size() - written);
        if (n > 0) {
          written += static_cast<std::size_t>(n);
          if (written == input->size())
            fd.reset();
        } else if (n < 0 && errno == EPIPE) {
          // The child stopped reading; what it did with the rest shows in
          // its status and standard error.
          guard.noteRaised();
          fd.reset();
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          fd.reset();
        } else if (fds[k].revents & (POLLERR | POLLHUP)) {
          fd.reset();
        }
        continue;
      }
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n > 0)
        (&fd == &out.read ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        fd.reset();
    }
  }
}

}  // namespace

ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, const ProcessOptions& options) {
  Pipe out = makePipe();
  Pipe err = makePipe();
  std::optional<Pipe> in;
  if (options.input)
    in.emplace(makePipe());

  FileActions actions;
  if (in)
    actions.dup2(in->read.get(), STDIN_FILENO);
  else
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  actions.dup2(out.write.get(), STDOUT_FILENO);
  actions.dup2(err.write.get(), STDERR_FILENO);
  const SpawnAttributes attributes;

  const std::string path = program.string();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : arguments)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  if (options.environment) {
    envp.reserve(options.environment->size() + 1);
    for (const std::string& entry : *options.environment)
      envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  if (const int rc = ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(),
                                   options.environment ? envp.data() : environ);
      rc != 0)
    throwErrno(rc, "cannot start " + path);

  // Only the child keeps these ends now.
  out.write.reset();
  err.write.reset();
  if (in)
    in->read.reset();

  ProcessResult result;
  try {
    exchange(out, err, in, options.input, result);
  } catch (...) {
    // Nobody will read the rest: end the child rather than leave a zombie.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw;
  }
  reap(pid, result);
  return result;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> findExecutable(std::string_view name,
                                                    std::string_view searchPath) {
  while (true) {
    const std::size_t colon = searchPath.find(':');
    const std::string_view dir = searchPath.substr(0, colon);
    if (!dir.empty() && dir.front() == '/') {
      std::filesystem::path candidate = std::filesystem::path(dir) / name;
      if (isExecutableFile(candidate))
        return candidate;
    }
    if (colon == std::string_view::npos)
      return std::nullopt;
    searchPath.remove_prefix(colon + 1);
  }
}

std::optional<std::filesystem::path> findExecutable(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr)
    return std::nullopt;
  return findExecutable(name, path);
}

}  // namespace parley::base
