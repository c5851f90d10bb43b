#include "desktop/speech_recognizer.hpp"

#include "desktop/http_recognizer.hpp"
#include "desktop/pocketsphinx_recognizer.hpp"
#include "desktop/voice_settings.hpp"

namespace parley::desktop {

std::shared_ptr<SpeechRecognizer> SpeechRecognizer::make(const VoiceSettings& settings,
                                                         boost::asio::any_io_executor workers) {
  if (settings.recognizer == VoiceSettings::Recognizer::http) {
    return std::make_shared<HttpRecognizer>(settings.transcriptionUrl, settings.transcriptionModel,
                                            settings.transcriptionTimeout, workers);
  }
  return std::make_shared<PocketsphinxRecognizer>(settings.pocketsphinxModel, workers);
}

}  // namespace parley::desktop
