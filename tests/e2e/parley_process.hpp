#pragma once

// The real `parley` as the end-to-end tests run it: a scripted Tailscale
// whose tailnet is up, a free port, and `parley run` as a child process.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "integration/process_support.hpp"
#include "test_support.hpp"
#include "tmux_server.hpp"

namespace parley::test {

namespace e2e {
namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr const char* kTailnetName = "desk.tailnet-e2e.ts.net";

// Tailscale as `parley` sees it on a computer whose tailnet is up: the status
// names this computer (MagicDNS names end with a dot), and serving HTTPS
// succeeds.
inline std::string scriptedTailscale() {
  return std::string(R"(#!/bin/sh
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
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env)
      envStrings.push_back(k + "=" + v);
    pid_ = spawnProcess({.argv = argv, .env = envStrings, .stdoutFile = out_, .stderrFile = err_});
    if (pid_ < 0)
      throw std::runtime_error("cannot start parley run");
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

  // The exit status once it ends by itself within `timeout`.
  std::optional<int> exited(std::chrono::milliseconds timeout) {
    const auto code = waitForExit(pid_, timeout);
    if (code) {
      status_ = *code;
      pid_ = -1;
    }
    return code;
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

// What every end-to-end fixture starting `parley` shares: a scratch
// directory, the scripted Tailscale first on the PATH, and the environment
// each `parley` process gets.
class ParleyDesk : public ::testing::Test {
 protected:
  void putTailscaleOnPath() {
    const fs::path bin = scratch_ / "bin";
    fs::create_directories(bin);
    writeFile(bin / "tailscale", scriptedTailscale());
    fs::permissions(bin / "tailscale", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    searchPath_ = bin.string() + ":" + (path ? path : "/usr/bin:/bin");
  }

  // The session's HOME (so the data directory, the hook socket and Claude
  // Code's files are all under it) and the scripted Tailscale first on PATH.
  // Nothing else leaks in from the test's own environment.
  std::map<std::string, std::string> environment(const fs::path& home) const {
    return {{"HOME", home.string()}, {"PATH", searchPath_}, {"LANG", "C.UTF-8"}};
  }

  ProcessResult parley(std::vector<std::string> args) const {
    args.insert(args.begin(), binPath("parley").string());
    return runProcess(args, environment(home_));
  }

  TempDir scratch_;
  std::string searchPath_;
  fs::path home_;
};

}  // namespace e2e

}  // namespace parley::test
