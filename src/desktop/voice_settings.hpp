#pragma once

// Desktop voice settings, read from the "voice" object of preferences.json:
//
//   "voice": {
//     "recognizer": "pocketsphinx" | "http",
//     "transcriptionUrl": "http://127.0.0.1:8000",   (the server's base address)
//     "transcriptionModel": "whisper-1",
//     "speech": "system" | "elevenLabs",
//     "systemVoice": "gmw/en-US",  "rate": 1.0,
//     "elevenLabsVoiceId": "...",  "elevenLabsApiKey": "...",
//     "elevenLabsBaseUrl": "https://api.elevenlabs.io",
//     "echoCancellation": true
//   }
//
// The ElevenLabs key may also come from $ELEVENLABS_API_KEY. A key in the file
// is used only while the file is private to its owner (mode 0600 or
// stricter); otherwise it is ignored with a warning.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace parley::desktop {

struct VoiceSettings {
  enum class Recognizer { pocketsphinx, http };
  enum class Speech { system, elevenLabs };

  Recognizer recognizer = Recognizer::pocketsphinx;
  std::string transcriptionUrl = "http://127.0.0.1:8000";
  std::string transcriptionModel = "whisper-1";
  std::chrono::milliseconds transcriptionTimeout{15000};
  std::string pocketsphinxModel = "/usr/share/pocketsphinx/model/en-us";

  Speech speech = Speech::system;
  std::optional<std::string> systemVoice;
  float rateMultiplier = 1.0f;
  std::optional<std::string> elevenLabsVoiceId;
  std::optional<std::string> elevenLabsApiKey;
  std::string elevenLabsBaseUrl = "https://api.elevenlabs.io";

  std::string locale = "en-US";

  // Parley's own speech is cancelled out of the microphone, so the person can
  // say "stop" over it; off, or where the canceller is unavailable, the
  // microphone is deaf while Parley speaks.
  bool echoCancellation = true;

  // Problems met while reading (unknown values, a key in a readable file).
  std::vector<std::string> warnings;

  static VoiceSettings load(const std::filesystem::path& preferencesFile);

  static const char* name(Recognizer recognizer);
};

}  // namespace parley::desktop
