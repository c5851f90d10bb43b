#include "terminal/injected_prompts.hpp"

#include <sstream>

namespace parley::terminal {

namespace {

// Whitespace-insensitive: the hook carries the prompt as Claude Code read
// it back from its input box.
std::string words(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string word, out;
  while (in >> word)
    out += (out.empty() ? "" : " ") + word;
  return out;
}

}  // namespace

void InjectedPrompts::note(std::string sessionID, std::string_view text, Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  entries_.push_back({std::move(sessionID), words(text), now});
  while (entries_.size() > kMaxKept)
    entries_.pop_front();
}

bool InjectedPrompts::take(const std::string& sessionID, std::string_view prompt,
                           Clock::time_point now) {
  const std::string wanted = words(prompt);
  const std::lock_guard lock(mutex_);
  while (!entries_.empty() && now - entries_.front().at > kWindow)
    entries_.pop_front();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->sessionID == sessionID && it->words == wanted) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace parley::terminal
