#include "terminal/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

extern char** environ;

namespace parley::terminal {

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
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
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

int waitForExit(pid_t pid) {
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  if (WIFEXITED(wstatus))
    return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus))
    return 128 + WTERMSIG(wstatus);
  return -1;
}

}  // namespace

ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::optional<std::string>& input) {
  Pipe out = makePipe();
  Pipe err = makePipe();
  std::optional<Pipe> in;
  if (input)
    in = makePipe();

  FileActions actions;
  if (in)
    actions.dup2(in->read.get(), STDIN_FILENO);
  else
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  actions.dup2(out.write.get(), STDOUT_FILENO);
  actions.dup2(err.write.get(), STDERR_FILENO);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& a : arguments)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (const int rc =
          ::posix_spawn(&pid, executable.c_str(), actions.get(), nullptr, argv.data(), environ);
      rc != 0)
    throwErrno(rc, "cannot start " + executable);

  // Only the child keeps these ends now.
  out.write.reset();
  err.write.reset();
  if (in)
    in->read.reset();

  ChildResult result;
  std::size_t written = 0;
  {
    SigpipeGuard guard;
    if (in) {
      const int flags = ::fcntl(in->write.get(), F_GETFL);
      ::fcntl(in->write.get(), F_SETFL, flags | O_NONBLOCK);
      if (input->empty())
        in->write.reset();
    }
    char buffer[16384];
    while (out.read || err.read || (in && in->write)) {
      pollfd fds[3];
      nfds_t count = 0;
      Fd* owners[3];
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
        break;
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
        if (n > 0) {
          (&fd == &out.read ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          fd.reset();
        }
      }
    }
  }
  result.status = waitForExit(pid);
  return result;
}

}  // namespace parley::terminal
