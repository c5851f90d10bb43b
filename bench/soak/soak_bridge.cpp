#include "soak_bridge.hpp"
#include "bench_tools.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace parley::soak {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings)
    out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             posix_spawn_file_actions_t& actions) {
  auto args = pointers(argv);
  auto envp = pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::string message = "cannot start ";
    message += argv[0];
    message += ": ";
    message += std::strerror(rc);
    throw std::runtime_error(message);
  }
  return pid;
}

std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& input, const fs::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  return launch(argv, env, actions);
}

pid_t spawnWithInput(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& text) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  try {
    pid = launch(argv, env, actions);
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[0]);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
    if (n <= 0)
      break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool pollFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Memory memoryOf(pid_t pid) {
  Memory memory;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0)
      memory.rssKiB = std::stol(line.substr(6));
    else if (line.rfind("VmHWM:", 0) == 0)
      memory.peakKiB = std::stol(line.substr(6));
  }
  return memory;
}

void resetPeak(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5\n";
}

Bridge::Bridge() {
  std::string pattern = (fs::temp_directory_path() / "parley-soak-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  const fs::path home = dir_ / "home";
  const fs::path bin = dir_ / "bin";
  for (const char* sub : {"home/.config", "home/.local/share", "home/.cache", "runtime"})
    fs::create_directories(dir_ / sub);
  fs::permissions(dir_ / "runtime", fs::perms::owner_all);
  const std::string searchPath =
      "PATH=" + bench::scriptedTailscale(bin, "desk.tailnet-soak.ts.net.");
  env_ = {"HOME=" + home.string(),
          "XDG_CONFIG_HOME=" + (home / ".config").string(),
          "XDG_DATA_HOME=" + (home / ".local/share").string(),
          "XDG_CACHE_HOME=" + (home / ".cache").string(),
          "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
          searchPath,
          "LANG=C.UTF-8"};

  port_ = freePort();
  app_ = spawn({parleyPath(), "run", "--port", std::to_string(port_), "--no-open"}, env_,
               "/dev/null", dir_ / "run.out");
  const std::string listening = "listening on :" + std::to_string(port_);
  const std::string hookMarker = "hook socket listening at ";
  if (!pollFor([&] {
        const std::string out = log();
        return out.find(listening) != std::string::npos &&
               out.find(hookMarker) != std::string::npos;
      }))
    throw std::runtime_error("parley run did not start:\n" + log());
  const std::string out = log();
  const std::size_t at = out.find(hookMarker) + hookMarker.size();
  socket_ = out.substr(at, out.find(" (0600)", at) - at);

  const pid_t pair =
      spawn({parleyPath(), "pair", "--name", "Soak", "--json", "--port", std::to_string(port_)},
            env_, "/dev/null", dir_ / "pair.out");
  if (waitExit(pair) != 0)
    throw std::runtime_error("parley pair failed");
  token_ = json::parse(base::readFileIfExists(dir_ / "pair.out").value_or(""))
               .as_object()
               .at("token")
               .as_string()
               .c_str();
}

Bridge::~Bridge() {
  if (app_ > 0) {
    ::kill(app_, SIGTERM);
    waitExit(app_);
  }
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::vector<std::string> Bridge::relayEnvironment() const {
  std::vector<std::string> env = env_;
  env.push_back("TMUX_PANE=%7");
  env.push_back("TMUX=/tmp/tmux-soak/default,4242,0");
  return env;
}

std::string Bridge::relayPath() const {
  return (fs::path(PARLEY_BIN_DIR) / "parley-hook").string();
}

std::string Bridge::parleyPath() const {
  return (fs::path(PARLEY_BIN_DIR) / "parley").string();
}

bool Bridge::alive() const {
  return ::kill(app_, 0) == 0;
}

bool Bridge::sendLines(const std::string& lines) const {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  std::size_t done = 0;
  while (ok && done < lines.size()) {
    const ssize_t n = ::send(fd, lines.data() + done, lines.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok;
}

}  // namespace parley::soak
