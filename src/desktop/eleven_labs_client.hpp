#pragma once

// The ElevenLabs text-to-speech service: one POST per text, answered with raw
// 16-bit PCM at 24 kHz. The base address is configurable so a local stand-in
// can answer instead. The API key travels only in its header; it is never
// logged and never part of an error text.

#include <chrono>
#include <stdexcept>
#include <string>

#include "desktop/pcm_audio.hpp"

namespace parley::desktop {

class ElevenLabsClient {
 public:
  static constexpr const char* defaultBaseUrl = "https://api.elevenlabs.io";
  static constexpr int sampleRate = 24000;

  // Its what() is the user-facing description.
  struct ClientError : std::runtime_error {
    using std::runtime_error::runtime_error;
    static ClientError http(long status, const std::string& body);
    static ClientError notAudio(const std::string& contentType);
    static ClientError malformedResponse();
  };

  explicit ElevenLabsClient(std::string baseUrl = defaultBaseUrl,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60))
      : baseUrl_(std::move(baseUrl)), timeout_(timeout) {}

  // The response body. Throws ClientError, or HttpTransportError when the
  // service cannot be reached.
  std::string synthesize(const std::string& text, const std::string& voiceId,
                         const std::string& apiKey) const;

  // Little-endian mono samples at 24 kHz; an odd last byte is dropped.
  static PcmAudio decodePcm(const std::string& bytes);

 private:
  std::string baseUrl_;
  std::chrono::milliseconds timeout_;
};

}  // namespace parley::desktop
