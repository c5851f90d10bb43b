#include "desktop/speech_renderer.hpp"

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/http_client.hpp"
#include "desktop/voice_log.hpp"
#include "text/unicode.hpp"
#include "voice/voice_selector.hpp"

namespace parley::desktop {

SpeechRenderer::SpeechRenderer(const VoiceSettings& settings)
    : settings_(settings), elevenLabs_(settings.elevenLabsBaseUrl) {}

std::optional<voice::VoiceCandidate> SpeechRenderer::voice(std::string_view locale) {
  if (cachedVoiceLocale_ && *cachedVoiceLocale_ == locale)
    return cachedVoice_;
  ++voiceLookups_;
  const auto candidates = EspeakSynthesizer::voices();
  std::optional<std::string_view> preferred;
  if (settings_.systemVoice)
    preferred = *settings_.systemVoice;
  cachedVoice_ = voice::VoiceSelector::select(candidates, preferred, locale);
  cachedVoiceLocale_ = std::string(locale);
  return cachedVoice_;
}

PcmAudio SpeechRenderer::renderElevenLabs(const std::string& text) {
  auto log = voiceLogger("audio.elevenlabs");
  std::string bytes;
  try {
    bytes = elevenLabs_.synthesize(text, *settings_.elevenLabsVoiceId, *settings_.elevenLabsApiKey);
  } catch (const std::exception& error) {
    log->error("ElevenLabs synthesize failed: {}", error.what());
    return {};
  }
  PcmAudio audio = ElevenLabsClient::decodePcm(bytes);
  if (audio.empty()) {
    log->error("ElevenLabs response could not be parsed as PCM ({}B)", bytes.size());
  }
  return audio;
}

PcmAudio SpeechRenderer::render(std::string_view rawText, std::string_view locale) {
  const std::string text(text::trimmed(rawText));
  if (text.empty())
    return {};
  auto log = voiceLogger("audio.tts");
  if (settings_.speech == VoiceSettings::Speech::elevenLabs && settings_.elevenLabsApiKey &&
      settings_.elevenLabsVoiceId) {
    PcmAudio audio = renderElevenLabs(text);
    if (!audio.empty())
      return audio;
    log->warn("ElevenLabs render failed, falling back to system voice");
  }
  const auto chosen = voice(locale);
  std::optional<std::string> identifier;
  if (chosen)
    identifier = chosen->identifier;
  PcmAudio audio =
      EspeakSynthesizer::synthesize(text, identifier, locale, settings_.rateMultiplier);
  if (audio.empty()) {
    log->error("render produced no audio for {}", text::characterPrefix(text, 40));
  }
  return audio;
}

}  // namespace parley::desktop
