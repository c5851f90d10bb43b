#include "voice/voice_candidate.hpp"

namespace parley::voice {

std::int64_t rawValue(VoiceCandidate::Quality quality) {
  return static_cast<std::int64_t>(quality);
}

std::optional<VoiceCandidate::Quality> qualityFromRawValue(std::int64_t raw) {
  if (raw < 1 || raw > 3)
    return std::nullopt;
  return static_cast<VoiceCandidate::Quality>(raw);
}

}  // namespace parley::voice

namespace {

void combine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

std::size_t std::hash<parley::voice::VoiceCandidate>::operator()(
    const parley::voice::VoiceCandidate& candidate) const noexcept {
  const std::hash<std::string> hashString;
  std::size_t seed = hashString(candidate.identifier);
  combine(seed, hashString(candidate.name));
  combine(seed, hashString(candidate.language));
  combine(seed, std::hash<std::int64_t>{}(parley::voice::rawValue(candidate.quality)));
  combine(seed, static_cast<std::size_t>(candidate.isNovelty));
  combine(seed, static_cast<std::size_t>(candidate.isPersonalVoice));
  return seed;
}
