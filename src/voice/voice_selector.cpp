#include "voice/voice_selector.hpp"

#include <algorithm>
#include <string>

#include "text/unicode.hpp"

namespace parley::voice::VoiceSelector {

namespace {

std::string normalizedTag(std::string_view tag) {
  std::string result = text::lowercased(tag);
  std::replace(result.begin(), result.end(), '_', '-');
  return result;
}

// The first non-empty "-"-separated piece, or empty.
std::string_view primaryLanguage(std::string_view tag) {
  std::size_t start = tag.find_first_not_of('-');
  if (start == std::string_view::npos)
    return {};
  const std::size_t end = tag.find('-', start);
  return tag.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

}  // namespace

std::optional<VoiceCandidate> select(const std::vector<VoiceCandidate>& candidates,
                                     std::optional<std::string_view> preferredIdentifier,
                                     std::string_view locale) {
  if (preferredIdentifier) {
    for (const auto& candidate : candidates) {
      if (candidate.identifier == *preferredIdentifier)
        return candidate;
    }
  }

  const std::string wantedLocale = normalizedTag(locale);
  const std::string_view wantedLanguage = primaryLanguage(wantedLocale);
  const auto rank = [&](const VoiceCandidate& candidate) {
    const std::string language = normalizedTag(candidate.language);
    if (language == wantedLocale)
      return 2;
    return primaryLanguage(language) == wantedLanguage ? 1 : 0;
  };

  const VoiceCandidate* best = nullptr;
  int bestRank = 0;
  for (const auto& candidate : candidates) {
    if (candidate.isNovelty || candidate.isPersonalVoice)
      continue;
    const int candidateRank = rank(candidate);
    const bool isBetter =
        best == nullptr || candidateRank > bestRank ||
        (candidateRank == bestRank &&
         (candidate.quality > best->quality ||
          (candidate.quality == best->quality && candidate.identifier < best->identifier)));
    if (isBetter) {
      best = &candidate;
      bestRank = candidateRank;
    }
  }
  if (best == nullptr)
    return std::nullopt;
  return *best;
}

}  // namespace parley::voice::VoiceSelector
