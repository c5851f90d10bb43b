#pragma once

// A platform speech voice described in plain terms, so that choosing one is
// independent of the synthesiser that offers it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace parley::voice {

struct VoiceCandidate {
  // Ordered by quality; the raw values are the integers 1, 2, 3.
  // ("default" is a keyword, hence the trailing underscore.)
  enum class Quality : std::int64_t { default_ = 1, enhanced = 2, premium = 3 };

  std::string identifier;
  std::string name;
  // The voice's language tag as the platform reports it ("en-US", "en_GB").
  std::string language;
  Quality quality = Quality::default_;
  bool isNovelty = false;
  bool isPersonalVoice = false;

  bool operator==(const VoiceCandidate&) const = default;
};

std::int64_t rawValue(VoiceCandidate::Quality quality);
// No value for anything but 1, 2 or 3.
std::optional<VoiceCandidate::Quality> qualityFromRawValue(std::int64_t raw);

}  // namespace parley::voice

template <>
struct std::hash<parley::voice::VoiceCandidate> {
  std::size_t operator()(const parley::voice::VoiceCandidate& candidate) const noexcept;
};
