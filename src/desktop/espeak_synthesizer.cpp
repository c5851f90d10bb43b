#include "desktop/espeak_synthesizer.hpp"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace parley::desktop {
namespace {

std::mutex& libraryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Sample rate of the library, or 0 when it cannot start. Called under the
// library's lock.
int initialized() {
  static int rate = [] {
    const int result =
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    return result > 0 ? result : 0;
  }();
  return rate;
}

int collect(short* wav, int count, espeak_EVENT* events) {
  if (wav && count > 0 && events && events->user_data) {
    auto* samples = static_cast<std::vector<std::int16_t>*>(events->user_data);
    samples->insert(samples->end(), wav, wav + count);
  }
  return 0;
}

}  // namespace

std::vector<voice::VoiceCandidate> EspeakSynthesizer::voices() {
  std::lock_guard lock(libraryMutex());
  std::vector<voice::VoiceCandidate> result;
  if (initialized() == 0)
    return result;
  const espeak_VOICE** list = espeak_ListVoices(nullptr);
  for (; list && *list; ++list) {
    const espeak_VOICE* v = *list;
    // `languages` is a priority byte followed by the language name.
    const std::string language = v->languages && v->languages[0] ? v->languages + 1 : "";
    result.push_back({v->identifier ? v->identifier : "", v->name ? v->name : "", language,
                      voice::VoiceCandidate::Quality::default_, false, false});
  }
  return result;
}

PcmAudio EspeakSynthesizer::synthesize(std::string_view text,
                                       const std::optional<std::string>& identifier,
                                       std::string_view locale, float rateMultiplier) {
  std::lock_guard lock(libraryMutex());
  const int rate = initialized();
  if (rate == 0 || text.empty())
    return {};
  bool voiceSet = false;
  if (identifier)
    voiceSet = espeak_ng_SetVoiceByFile(identifier->c_str()) == ENS_OK;
  if (!voiceSet) {
    std::string language(locale);
    std::replace(language.begin(), language.end(), '_', '-');
    espeak_VOICE wanted{};
    wanted.languages = language.c_str();
    if (espeak_SetVoiceByProperties(&wanted) != EE_OK)
      espeak_SetVoiceByName("en");
  }
  const float multiplier =
      std::isfinite(rateMultiplier) && rateMultiplier > 0 ? rateMultiplier : 1.0f;
  const int wordsPerMinute = std::clamp(static_cast<int>(espeakRATE_NORMAL * multiplier),
                                        espeakRATE_MINIMUM, espeakRATE_MAXIMUM);
  espeak_SetParameter(espeakRATE, wordsPerMinute, 0);
  espeak_SetSynthCallback(&collect);
  const std::string owned(text);
  std::vector<std::int16_t> samples;
  espeak_Synth(owned.c_str(), owned.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
               &samples);
  return {rate, std::move(samples)};
}

}  // namespace parley::desktop
