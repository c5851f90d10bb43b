#pragma once

// How an audio pipeline is tuned: for a two-way conversation (voice
// processing, echo cancellation) or for high-quality playback.

#include <array>
#include <optional>
#include <string_view>

namespace parley::voice {

enum class AudioSessionProfile { conversation, highQuality };

inline constexpr std::array<AudioSessionProfile, 2> allAudioSessionProfiles{
    AudioSessionProfile::conversation, AudioSessionProfile::highQuality};

// "conversation", "highQuality".
std::string_view rawValue(AudioSessionProfile profile);
std::optional<AudioSessionProfile> audioSessionProfileFromRawValue(std::string_view raw);
// "Conversation", "High quality".
std::string_view displayName(AudioSessionProfile profile);

constexpr bool isConversation(AudioSessionProfile profile) {
  return profile == AudioSessionProfile::conversation;
}
constexpr bool isHighQuality(AudioSessionProfile profile) {
  return profile == AudioSessionProfile::highQuality;
}

}  // namespace parley::voice
