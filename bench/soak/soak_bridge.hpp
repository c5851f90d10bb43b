#pragma once

// The real application for the soak runs: `parley run` in a temporary HOME
// with a scripted `tailscale` first on PATH, a device paired by the real
// `parley pair`, and the ways the runs reach it (relay processes, the hook
// socket itself, phones on loopback).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/files.hpp"

namespace parley::soak {

namespace fs = std::filesystem;

// A child from an argument vector (never a shell) with exactly this
// environment; standard input from a file, standard output to one.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& input, const fs::path& output);
// As spawn, with `text` on standard input through a pipe.
pid_t spawnWithInput(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& text);
int waitExit(pid_t pid);

bool pollFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(30));

struct Memory {
  long rssKiB = 0;
  long peakKiB = 0;  // VmHWM since the last resetPeak()
};
Memory memoryOf(pid_t pid);
// Restarts the kernel's peak-RSS count for a process of ours.
void resetPeak(pid_t pid);

class Bridge {
 public:
  Bridge();
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  pid_t pid() const { return app_; }
  std::uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  const fs::path& directory() const { return dir_; }
  const fs::path& hookSocket() const { return socket_; }
  const std::vector<std::string>& environment() const { return env_; }
  // The relay's environment: a tmux pane as Claude Code's hooks have one.
  std::vector<std::string> relayEnvironment() const;
  std::string relayPath() const;
  std::string parleyPath() const;
  std::string log() const { return base::readFileIfExists(dir_ / "run.out").value_or(""); }
  bool alive() const;

  // One connection to the hook socket carrying these lines; false when the
  // socket refused them.
  bool sendLines(const std::string& lines) const;

 private:
  fs::path dir_;
  fs::path socket_;
  std::vector<std::string> env_;
  std::uint16_t port_ = 0;
  pid_t app_ = -1;
  std::string token_;
};

}  // namespace parley::soak
