#pragma once

// The prompts the phone typed into sessions in the last moments, so the
// UserPromptSubmit hook that follows can tell a turn the phone started from
// one started at the desk. Bounded; safe from any thread.

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace parley::terminal {

class InjectedPrompts {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWindow{30};
  static constexpr std::size_t kMaxKept = 64;

  void note(std::string sessionID, std::string_view text, Clock::time_point now = Clock::now());
  // The key a session's first prompt is noted under: it is typed before
  // Claude Code has told anyone the session's id, so by its pane.
  static std::string paneKey(std::string_view paneID) { return "pane " + std::string(paneID); }
  // Whether `prompt` is one noted for this session within the window; a
  // match is used up, so the same words typed again at the desk are the
  // desk's.
  bool take(const std::string& sessionID, std::string_view prompt,
            Clock::time_point now = Clock::now());

 private:
  struct Entry {
    std::string sessionID;
    std::string words;
    Clock::time_point at;
  };
  std::mutex mutex_;
  std::deque<Entry> entries_;
};

}  // namespace parley::terminal
