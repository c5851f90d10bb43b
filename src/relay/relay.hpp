#pragma once

// The pieces of parley-hook, the relay Claude Code runs for every hook event:
// read the event's JSON from stdin, tag it with the tmux pane it came from,
// and hand it to the desktop's hook socket as one line. Every step has a
// deadline and every failure ends quietly: the relay must never hold up or
// disturb Claude Code, whatever state the desktop is in.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace parley::relay {

using Clock = std::chrono::steady_clock;

// Everything the relay does, from reading stdin to closing the socket,
// finishes within this time.
inline constexpr std::chrono::milliseconds kTotalBudget{2000};

// Input beyond this is not a hook event worth forwarding.
inline constexpr std::size_t kMaxInput = 16 * 1024 * 1024;

// Reads `fd` to its end; nullopt when the deadline passes first, the input
// exceeds `limit`, or reading fails.
std::optional<std::string> readAll(int fd, Clock::time_point deadline,
                                   std::size_t limit = kMaxInput);

// The line to send: the input's JSON object, compact, with "tmux_pane" and
// "tmux_env" set from `tmuxPane` and `tmuxEnv` when those are given, ending
// in a line feed. nullopt when the input is not a JSON object.
std::optional<std::string> composeLine(std::string_view input, const char* tmuxPane,
                                       const char* tmuxEnv);

// Connects to the Unix socket at `socketPath`, writes `line` and closes,
// without ever reading. Returns whether every byte was written before the
// deadline.
bool sendLine(const std::string& socketPath, std::string_view line, Clock::time_point deadline);

// The whole relay: never fails, never writes to stdout or stderr.
void run(int inputFd, const std::string& socketPath, const char* tmuxPane, const char* tmuxEnv,
         Clock::time_point deadline);

}  // namespace parley::relay
