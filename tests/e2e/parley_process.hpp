#pragma once

// The real `parley` as the end-to-end tests run it: a scripted Tailscale
// whose tailnet is up, a free port, and `parley run` as a child process.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace parley::test {

namespace e2e {
namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr const char* kTailnetName = "desk.tailnet-e2e.ts.net";

// Tailscale as `parley` sees it on a computer whose tailnet is up: the status
// names this computer (MagicDNS names end with a dot), and serving HTTPS
// succeeds. Every call is recorded beside the script.
inline std::string scriptedTailscale() {
  return std::string(R"(#!/bin/sh
echo "$*" >> "$(dirname "$0")/tailscale-calls.log"
case "$1" in
  status)
    echo '{"BackendState":"Running","Self":{"DNSName":")") +
         kTailnetName + R"(.","TailscaleIPs":["100.101.102.103"]}}'
    ;;
  serve)
    ;;
  *)
    echo "scripted tailscale: unexpected arguments: $*" >&2
    exit 2
    ;;
esac
)";
}

inline std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A TCP port nobody listens on right now, for `parley run --port`.
inline std::uint16_t freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
  return acceptor.local_endpoint().port();
}

// `parley run` as a child process, its output going to files the test reads.
// Stopped with SIGTERM when the object goes away, so a failing test never
// leaves it behind.
class ParleyApp {
 public:
  ParleyApp(const std::map<std::string, std::string>& env, std::uint16_t port,
            const fs::path& directory, const std::vector<std::string>& more = {})
      : out_(directory / "parley-run.out"), err_(directory / "parley-run.err") {
    std::vector<std::string> argv{binPath("parley").string(), "run", "--port",
                                  std::to_string(port)};
    argv.insert(argv.end(), more.begin(), more.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
      throw std::runtime_error("cannot start parley run: " + std::string(std::strerror(rc)));
  }

  ~ParleyApp() { stop(); }
  ParleyApp(const ParleyApp&) = delete;
  ParleyApp& operator=(const ParleyApp&) = delete;

  // SIGTERM, then the exit status (128 + signal when it was killed); SIGKILL
  // when it has not gone within 15 seconds.
  int stop() {
    if (pid_ <= 0)
      return status_;
    ::kill(pid_, SIGTERM);
    int raw = 0;
    if (!waitUntil([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, 15s)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &raw, 0);
      status_ = 128 + SIGKILL;
    } else {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    pid_ = -1;
    return status_;
  }

  bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
  std::string output() const { return readAll(out_); }
  std::string errors() const { return readAll(err_); }

  // Waits until standard output holds `text` (its activity log is printed
  // there line by line).
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
    return waitUntil([&] { return contains(output(), text) || !running(); }, timeout, 10ms) &&
           contains(output(), text);
  }

 private:
  fs::path out_;
  fs::path err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace e2e

}  // namespace parley::test
