#include "voice/echo_guard.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "voice/meta_command.hpp"

namespace parley::voice {

EchoGuard::EchoGuard() : config_(Config{}) {}

void EchoGuard::recordSpoken(std::string_view text, Instant at) {
  TokenList tokens = SpeechTokens::tokenize(text);
  if (tokens.empty())
    return;
  history_.push_back(Spoken{std::move(tokens), at});
  prune(at);
}

void EchoGuard::prune(Instant now) {
  const Instant cutoff = now - config_.window;
  if (history_.empty() || !(history_.front().at < cutoff))
    return;
  std::erase_if(history_, [&](const Spoken& spoken) { return spoken.at < cutoff; });
}

bool EchoGuard::madeOfWordsIn(std::string_view heard, std::string_view saying) {
  const TokenList tokens = SpeechTokens::tokenize(heard);
  const TokenList said = SpeechTokens::tokenize(saying);
  return !tokens.empty() && std::all_of(tokens.begin(), tokens.end(), [&](const auto& token) {
    return std::find(said.begin(), said.end(), token) != said.end();
  });
}

EchoGuard::Verdict EchoGuard::evaluate(std::string_view heard, bool isSpeaking,
                                       std::optional<Instant> lastSpeechEndedAt, Instant now) {
  prune(now);
  const TokenList tokens = SpeechTokens::tokenize(heard);
  if (parseMetaCommand(tokens))
    return Verdict::accept();

  const bool withinTail = lastSpeechEndedAt && !(now - *lastSpeechEndedAt > config_.tailGrace);
  if (!isSpeaking && !withinTail)
    return Verdict::accept();

  // Nothing to compare when no words were heard, whatever the configured
  // minimum (a zero minimum would otherwise divide by zero below).
  if (tokens.empty() ||
      static_cast<std::int64_t>(tokens.size()) < config_.minimumTokensForSimilarity) {
    return Verdict::accept();
  }

  double best = 0.0;
  for (const auto& spoken : history_) {
    best = std::max(best, SpeechTokens::similarity(tokens, spoken.tokens));
    if (best >= config_.similarityThreshold)
      break;
  }

  if (best < config_.similarityThreshold && history_.size() >= 2) {
    std::unordered_set<std::string_view> pooled;
    for (const auto& spoken : history_)
      pooled.insert(spoken.tokens.begin(), spoken.tokens.end());
    std::size_t contained = 0;
    for (const auto& token : tokens)
      contained += pooled.count(token);
    const double containment = static_cast<double>(contained) / static_cast<double>(tokens.size());
    if (containment >= containmentThreshold)
      best = std::max(best, containment);
  }

  if (best >= config_.similarityThreshold) {
    ++suppressedCount_;
    return Verdict::echo(best);
  }
  maxAcceptedSimilarity_ = std::max(maxAcceptedSimilarity_, best);
  return Verdict::accept();
}

}  // namespace parley::voice
