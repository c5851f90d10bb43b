#pragma once

// What Parley needs from this machine, each checked one way for everyone who
// asks: `parley doctor` prints them all, the control panel's first-run
// checklist shows the first few. Blocking (they run programs): call them off
// the main thread.

#include <cstdint>
#include <string>
#include <vector>

namespace parley::app {

struct SetupCheck {
  // skip: could not be checked here (no tool to ask); warn: works, with a
  // limitation. Only fail makes the doctor fail.
  enum class Status { ok, warn, fail, skip };

  std::string name;
  Status status = Status::ok;
  std::string detail;  // what was found
  std::string fix;     // what to do; empty when there is nothing to do
};

// The first line of a program's output, without trailing spaces and CR.
std::string firstLine(const std::string& text);

SetupCheck tmuxCheck();
// Found on PATH and a version Parley can drive (warn for another version).
SetupCheck claudeCodeCheck();
// "tailscale" (running, with a MagicDNS name) and "tailscale serve" (HTTPS
// 443 forwarded to `port`), asking `executable`.
std::vector<SetupCheck> tailscaleChecks(const std::string& executable, std::uint16_t port);

}  // namespace parley::app
