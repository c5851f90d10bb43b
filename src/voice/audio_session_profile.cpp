#include "voice/audio_session_profile.hpp"

namespace parley::voice {

std::string_view rawValue(AudioSessionProfile profile) {
  return profile == AudioSessionProfile::conversation ? "conversation" : "highQuality";
}

std::optional<AudioSessionProfile> audioSessionProfileFromRawValue(std::string_view raw) {
  for (const auto profile : allAudioSessionProfiles) {
    if (rawValue(profile) == raw)
      return profile;
  }
  return std::nullopt;
}

std::string_view displayName(AudioSessionProfile profile) {
  return profile == AudioSessionProfile::conversation ? "Conversation" : "High quality";
}

}  // namespace parley::voice
