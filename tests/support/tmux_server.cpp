#include "tmux_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace parley::test {
namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0)
      ::close(fd[i]);
    fd[i] = -1;
  }
};

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = ::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::optional<std::string>& input) {
  if (argv.empty())
    throw std::invalid_argument("runProcess: empty argv");
  Pipe out, err, in;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
  if (input)
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env)
    envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  out.closeEnd(1);
  err.closeEnd(1);
  in.closeEnd(0);

  // Feed standard input while draining both outputs, so that no pipe can
  // fill up and stall the child.
  ProcessResult result;
  size_t written = 0;
  if (!input)
    in.closeEnd(1);
  else
    ::fcntl(in.fd[1], F_SETFL, ::fcntl(in.fd[1], F_GETFL) | O_NONBLOCK);
  while (out.fd[0] >= 0 || err.fd[0] >= 0 || in.fd[1] >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out.fd[0] >= 0)
      fds[n++] = {out.fd[0], POLLIN, 0};
    if (err.fd[0] >= 0)
      fds[n++] = {err.fd[0], POLLIN, 0};
    if (in.fd[1] >= 0)
      fds[n++] = {in.fd[1], POLLOUT, 0};
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0)
        continue;
      if (fds[i].fd == in.fd[1]) {
        const ssize_t w = ::write(in.fd[1], input->data() + written, input->size() - written);
        if (w > 0)
          written += static_cast<size_t>(w);
        if (w < 0 && errno != EINTR && errno != EAGAIN)
          written = input->size();
        if (written >= input->size())
          in.closeEnd(1);
        continue;
      }
      char buf[65536];
      const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[i].fd == out.fd[0] ? result.out : result.err).append(buf, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        (fds[i].fd == out.fd[0] ? out : err).closeEnd(0);
      }
    }
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TmuxServer::TmuxServer()
    : TmuxServer({{"PATH", envOr("PATH", "/usr/local/bin:/usr/bin:/bin")},
                  {"HOME", envOr("HOME", "/")},
                  {"USER", envOr("USER", "root")},
                  {"LANG", "C.UTF-8"}}) {}

TmuxServer::TmuxServer(std::map<std::string, std::string> baseEnv) : baseEnv_(std::move(baseEnv)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "parley-tmux-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  socket_ = dir_ / "tmux.sock";
}

TmuxServer::~TmuxServer() {
  if (sessions_ > 0)
    tmux({"kill-server"});
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

ProcessResult TmuxServer::tmux(const std::vector<std::string>& args,
                               const std::optional<std::string>& input) const {
  std::vector<std::string> argv{"tmux", "-S", socket_.string(), "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, baseEnv_, input);
}

TmuxServer::Pane TmuxServer::newSession(const PaneSpec& spec) {
  std::string name = spec.sessionName;
  if (name.empty()) {
    // Built with snprintf: GCC 12 at -O3 misreports "s" + std::to_string(n)
    // as an overlapping copy (-Wrestrict).
    char generated[32];
    std::snprintf(generated, sizeof generated, "s%d", static_cast<int>(sessions_));
    name = generated;
  }
  // Server options ride along in the same invocation because the server only
  // exists once it has a session. tmux-256color gives programs the colours
  // they use in a real terminal; remain-on-exit keeps a crashed program's last
  // screen readable for the failure message.
  std::vector<std::string> args{"start-server",
                                ";",
                                "set-option",
                                "-g",
                                "default-terminal",
                                "tmux-256color",
                                ";",
                                "set-option",
                                "-g",
                                "remain-on-exit",
                                "on",
                                ";",
                                "set-option",
                                "-g",
                                "focus-events",
                                "on",
                                ";",
                                "new-session",
                                "-d",
                                "-P",
                                "-F",
                                "#{pane_id} #{pane_pid}",
                                "-s",
                                name,
                                "-x",
                                std::to_string(spec.width),
                                "-y",
                                std::to_string(spec.height)};
  if (!spec.cwd.empty()) {
    args.push_back("-c");
    args.push_back(spec.cwd.string());
  }
  for (const auto& [k, v] : spec.env) {
    args.push_back("-e");
    args.push_back(k + "=" + v);
  }
  args.push_back("--");
  args.insert(args.end(), spec.argv.begin(), spec.argv.end());

  const ProcessResult r = tmux(args);
  ++sessions_;  // even a failed start may have left a server behind
  Pane pane;
  pane.session = name;
  const auto space = r.out.find(' ');
  if (!r.ok() || r.out.empty() || r.out[0] != '%' || space == std::string::npos) {
    ADD_FAILURE() << "tmux new-session failed (" << r.status << "): " << r.err << r.out;
    throw std::runtime_error("tmux new-session failed: " + r.err);
  }
  pane.id = r.out.substr(0, space);
  pane.pid = static_cast<pid_t>(std::stol(r.out.substr(space + 1)));
  return pane;
}

std::string TmuxServer::capture(const std::string& pane, bool escapes) const {
  std::vector<std::string> args{"capture-pane", "-p", "-t", pane};
  if (escapes)
    args.push_back("-e");
  ProcessResult r = tmux(args);
  return r.ok() ? r.out : std::string();
}

void TmuxServer::sendKeys(const std::string& pane, const std::vector<std::string>& keys) const {
  std::vector<std::string> args{"send-keys", "-t", pane};
  args.insert(args.end(), keys.begin(), keys.end());
  const ProcessResult r = tmux(args);
  EXPECT_TRUE(r.ok()) << "tmux send-keys failed: " << r.err;
}

void TmuxServer::sendLiteral(const std::string& pane, const std::string& text) const {
  const ProcessResult r = tmux({"send-keys", "-l", "-t", pane, "--", text});
  EXPECT_TRUE(r.ok()) << "tmux send-keys -l failed: " << r.err;
}

void TmuxServer::paste(const std::string& pane, const std::string& text) const {
  const std::string buffer = "parley-test-paste";
  ProcessResult r = tmux({"load-buffer", "-b", buffer, "-"}, text);
  EXPECT_TRUE(r.ok()) << "tmux load-buffer failed: " << r.err;
  if (!r.ok())
    return;
  r = tmux({"paste-buffer", "-p", "-d", "-b", buffer, "-t", pane});
  EXPECT_TRUE(r.ok()) << "tmux paste-buffer failed: " << r.err;
}

bool TmuxServer::paneAlive(const std::string& pane) const {
  const ProcessResult r = tmux({"display-message", "-p", "-t", pane, "#{pane_dead}"});
  return r.ok() && r.out == "0\n";
}

bool TmuxServer::waitForScreen(const std::string& pane,
                               const std::function<bool(const std::string&)>& predicate,
                               std::chrono::milliseconds timeout, std::string* lastScreen) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string screen = capture(pane);
    const bool held = predicate(screen);
    if (lastScreen)
      *lastScreen = std::move(screen);
    if (held)
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace parley::test
