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

#include "base/hook_line_limits.hpp"

namespace parley::relay {

using Clock = std::chrono::steady_clock;

// Everything the relay does, from reading stdin to closing the socket,
// finishes within this time.
inline constexpr std::chrono::milliseconds kTotalBudget{2000};

// Input beyond this is not a hook event worth forwarding; the desktop
// accepts every line made from input up to this size.
inline constexpr std::size_t kMaxInput = base::hookEventMaxBytes;

// Reads `fd` to its end; nullopt when the deadline passes first, the input
// exceeds `limit`, or reading fails.
std::optional<std::string> readAll(int fd, Clock::time_point deadline,
                                   std::size_t limit = kMaxInput);

// The line to send: the input as Claude Code wrote it, its line feeds made
// spaces and "tmux_pane" and "tmux_env" (each when given and no longer than
// base::hookTmuxValueMaxBytes) added as the object's last members, ending in
// a line feed. The input is never parsed: an event the desktop's decoder
// finds fault with still reaches it, where the fault is logged, and every
// number arrives as written. Keys added last win over any the input had.
// Input that does not look like an object is forwarded without the keys;
// nullopt only for input of nothing but white space.
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
