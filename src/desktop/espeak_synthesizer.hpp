#pragma once

// The system voice: espeak-ng synthesising into memory. The library keeps
// global state, so every call takes one process-wide lock.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/pcm_audio.hpp"
#include "voice/voice_candidate.hpp"

namespace parley::desktop {

class EspeakSynthesizer {
 public:
  // The installed voices in the library's order: identifier the voice file
  // (e.g. "gmw/en-US"), its name and first language. None when espeak-ng
  // cannot start (its data missing).
  static std::vector<voice::VoiceCandidate> voices();

  // Synthesises `text` with the voice named by `identifier` (a voice file,
  // as in voices()), or the locale's voice when none is given, at the
  // default rate times `rateMultiplier`. Empty when nothing was produced.
  static PcmAudio synthesize(std::string_view text, const std::optional<std::string>& identifier,
                             std::string_view locale, float rateMultiplier);
};

}  // namespace parley::desktop
