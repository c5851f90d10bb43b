#pragma once

// The running record of this session: what the person said, what the agent
// answered, commands carried out, and errors. In memory only, newest 500.

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace parley::app {

struct LogEntry {
  enum class Kind { you, claude, cmd, error };

  std::string id;  // a fresh UUID per entry
  std::chrono::system_clock::time_point timestamp;
  Kind kind = Kind::cmd;
  std::string text;

  bool operator==(const LogEntry&) const = default;
};

// The marker shown before an entry's text: "›", "‹", "·" or "!".
std::string_view marker(LogEntry::Kind kind);

// "HH:MM:SS marker text" in local time, as the terminal and panel show it.
std::string formatLogLine(const LogEntry& entry);

class ActivityLog {
 public:
  static constexpr std::size_t capacity = 500;

  // Appends and trims to the newest `capacity` entries; returns the entry.
  const LogEntry& append(LogEntry::Kind kind, std::string text);
  void clear() { entries_.clear(); }

  const std::deque<LogEntry>& entries() const { return entries_; }

 private:
  std::deque<LogEntry> entries_;
};

}  // namespace parley::app
