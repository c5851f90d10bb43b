#pragma once

// Which Claude Code processes run on this machine, and which tmux pane each
// runs in. Linux's process file system is the source: processes whose name
// (`comm`) is exactly "claude", with TMUX_PANE and TMUX read from their
// initial environment as exact values (NUL-separated, so values with spaces
// survive whole). The root is injectable so tests can build their own table.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::terminal {

class ClaudeProcessScanner {
 public:
  struct Process {
    std::int32_t pid = 0;
    std::optional<std::string> tmuxPane;  // TMUX_PANE, e.g. "%12"
    std::optional<std::string> tmuxEnv;   // TMUX: "socket,server pid,session index"
    // The process's working directory, when readable. Informational: the
    // session's own directory comes from its session file.
    std::optional<std::string> cwd;

    bool operator==(const Process&) const = default;
    std::size_t hash() const;
  };

  explicit ClaudeProcessScanner(std::filesystem::path procRoot = "/proc");

  const std::filesystem::path& procRoot() const { return procRoot_; }

  // Every "claude" process that runs inside tmux, in ascending pid order.
  // Processes that vanish or cannot be read meanwhile are skipped; an
  // unreadable root gives an empty list.
  std::vector<Process> scan() const;

  // The process with this pid whatever its name, when it runs inside tmux
  // and its environment can be read.
  std::optional<Process> process(std::int32_t pid) const;

  // The tmux variables of one environment block (NAME=value entries separated
  // by NUL). A later entry replaces an earlier one; nothing when neither
  // variable is present (a process outside tmux is not a candidate).
  static std::optional<Process> parseEnvironment(std::int32_t pid, std::string_view environ);

 private:
  std::optional<Process> read(std::int32_t pid) const;

  std::filesystem::path procRoot_;
};

}  // namespace parley::terminal

template <>
struct std::hash<parley::terminal::ClaudeProcessScanner::Process> {
  std::size_t operator()(const parley::terminal::ClaudeProcessScanner::Process& p) const {
    return p.hash();
  }
};
