#pragma once

// Claude Code's per-process session files, ~/.claude/sessions/<pid>.json: one
// for each running interactive process. Read only; files of dead processes
// are left where they are.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire_coding.hpp"

namespace parley::terminal {

// The user's home directory: $HOME when it is an absolute path, else the
// password database's entry for this user, else "/".
std::filesystem::path userHomeDirectory();

enum class SessionStatusReading { idle, busy, waiting, unknown };

struct ClaudeSessionFile {
  std::int32_t pid = 0;
  std::string sessionId;
  std::string cwd;
  std::optional<std::string> version;
  std::optional<std::string> kind;
  std::optional<std::string> entrypoint;
  std::optional<std::string> name;
  std::optional<std::string> nameSource;
  std::optional<std::string> status;
  std::optional<std::string> waitingFor;
  std::optional<double> startedAt;
  std::optional<double> updatedAt;
  std::optional<double> statusUpdatedAt;
  std::optional<std::string> tmux;

  // "idle", "busy" and "waiting" exactly (case-sensitive); anything else,
  // or no status, is unknown.
  SessionStatusReading state() const;

  // Throws protocol::DecodeError when a required key is missing or any known
  // key has the wrong JSON type; unknown keys are ignored.
  static ClaudeSessionFile fromJson(const protocol::json::value& value);
  protocol::json::object toJson() const;
  bool operator==(const ClaudeSessionFile&) const = default;
};

class ClaudeSessionStore {
 public:
  explicit ClaudeSessionStore(std::filesystem::path directory);
  // <home>/.claude/sessions
  static ClaudeSessionStore forHome(const std::filesystem::path& home);

  const std::filesystem::path& directory() const { return directory_; }

  // The decodable "*.json" files of the directory whose process is alive
  // (signal 0 succeeds or is refused with EPERM), in listing order.
  // Unreadable or malformed files are skipped; a missing directory gives none.
  std::vector<ClaudeSessionFile> all() const;

  // The liveness test used by all(): a positive pid that exists, ours or
  // someone else's.
  static bool isAlive(std::int32_t pid);

 private:
  std::filesystem::path directory_;
};

}  // namespace parley::terminal
