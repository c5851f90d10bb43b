#include "terminal/question_book.hpp"

namespace parley::terminal {

using Event = protocol::HookPayload::Event;

void QuestionBook::hookSeen(const protocol::HookPayload& payload) {
  if (!payload.sessionID)
    return;
  const std::lock_guard lock(mutex_);
  switch (payload.hookEventName) {
    case Event::preToolUse:
      if (payload.toolName == kAskTool && payload.toolUseID)
        open_[*payload.sessionID] = *payload.toolUseID;
      break;
    case Event::postToolUse:
    case Event::postToolUseFailure:
    case Event::stop:
    case Event::userPromptSubmit:
    case Event::sessionEnd:
      open_.erase(*payload.sessionID);
      break;
    default:
      break;
  }
}

bool QuestionBook::isOpen(const std::string& sessionID, const std::string& requestID) const {
  const std::lock_guard lock(mutex_);
  const auto it = open_.find(sessionID);
  return it != open_.end() && !requestID.empty() && it->second == requestID;
}

}  // namespace parley::terminal
