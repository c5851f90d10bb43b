#pragma once

// The questions Claude Code is waiting on (its AskUserQuestion tool), one per
// session, by the id the phone's answer names. Only an open question may be
// answered: a digit pressed for a question that has closed lands on whatever
// the screen shows next, a permission dialog included.

#include <map>
#include <mutex>
#include <string>

#include "protocol/hook_payload.hpp"

namespace parley::terminal {

class QuestionBook {
 public:
  // The tool that asks.
  static constexpr std::string_view kAskTool = "AskUserQuestion";

  // Any hook of any session (any thread): the question's tool starting opens
  // it; the tool ending, the turn ending, a new prompt or the session's end
  // closes it.
  void hookSeen(const protocol::HookPayload& payload);

  bool isOpen(const std::string& sessionID, const std::string& requestID) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> open_;  // request id by session id
};

}  // namespace parley::terminal
