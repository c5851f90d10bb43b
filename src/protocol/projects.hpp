#pragma once

// What the phone is shown to start or resume a session from: the projects
// Claude Code has records of and the past sessions of one of them. Each is
// named by an id Parley made; the phone sends back only such an id, never a
// path.

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/wire_coding.hpp"

namespace parley::protocol {

struct ProjectInfo {
  std::string projectID;
  std::string name;  // the folder's own name
  std::string path;  // shown, never accepted back
  std::optional<Date> lastActivity;
  std::int64_t pastSessions = 0;
  std::int64_t liveSessions = 0;
  // Claude Code was told at the desk to trust this folder; only then may
  // the phone start a session in it.
  bool trusted = false;
  PARLEY_WIRE_RECORD(ProjectInfo);
};

struct PastSession {
  std::string historyID;  // Claude Code's session id
  Date lastActivity;
  std::int64_t turns = 0;
  std::string firstPrompt;  // shortened
  bool live = false;        // running now: opened rather than resumed
  PARLEY_WIRE_RECORD(PastSession);
};

}  // namespace parley::protocol
