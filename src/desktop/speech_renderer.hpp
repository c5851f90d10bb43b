#pragma once

// Turns a text into audio: the ElevenLabs voice when it is chosen and both
// its key and voice are set, with any failure of it falling back to the
// system voice (espeak-ng) for the same text. Blocking; run it off the main
// thread. One renderer is used from one strand at a time.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/eleven_labs_client.hpp"
#include "desktop/pcm_audio.hpp"
#include "desktop/voice_settings.hpp"
#include "voice/voice_candidate.hpp"

namespace parley::desktop {

class SpeechRenderer {
 public:
  explicit SpeechRenderer(const VoiceSettings& settings);

  // Empty when the text is blank or no provider produced audio.
  PcmAudio render(std::string_view text, std::string_view locale);

  // The system voice for a locale, chosen once per locale by the voice
  // selector among espeak-ng's voices.
  std::optional<voice::VoiceCandidate> voice(std::string_view locale);

  // How many times the installed voices were listed (the cache at work).
  int voiceLookups() const { return voiceLookups_; }

 private:
  PcmAudio renderElevenLabs(const std::string& text);

  VoiceSettings settings_;
  ElevenLabsClient elevenLabs_;
  std::optional<voice::VoiceCandidate> cachedVoice_;
  std::optional<std::string> cachedVoiceLocale_;
  int voiceLookups_ = 0;
};

}  // namespace parley::desktop
