#include "voice/intent_heuristics.hpp"

#include "voice/speech_tokens.hpp"

namespace parley::voice::IntentHeuristics {

const std::unordered_set<std::string>& actionWords() {
  static const std::unordered_set<std::string> words = {
      "fix",    "add",     "remove", "delete", "update", "change",  "run",      "check",
      "build",  "write",   "make",   "create", "look",   "explain", "tell",     "show",
      "commit", "push",    "pull",   "revert", "undo",   "rename",  "refactor", "test",
      "debug",  "install", "deploy", "open",   "close",  "start",   "stop",     "continue",
      "go",     "switch",  "search", "find",   "read",   "list",    "give",     "can",
      "could",  "would",   "will",   "please", "lets",   "claude",
  };
  return words;
}

bool looksLikeRequest(std::string_view text) {
  const TokenList tokens = SpeechTokens::tokenize(text);
  if (tokens.empty())
    return false;
  if (actionWords().contains(tokens.front()))
    return true;
  return text.find('?') != std::string_view::npos;
}

}  // namespace parley::voice::IntentHeuristics
