#include "desktop/speech_output.hpp"

#include <boost/asio/post.hpp>

#include "desktop/voice_log.hpp"

namespace parley::desktop {

SpeechOutput::SpeechOutput(const VoiceSettings& settings, boost::asio::any_io_executor main,
                           boost::asio::any_io_executor workers,
                           std::shared_ptr<EchoCanceller> canceller,
                           voice::EchoGuard::Seconds tailGrace)
    : settings_(settings),
      main_(main),
      renderer_(std::make_shared<SpeechRenderer>(settings)),
      renderStrand_(boost::asio::make_strand(workers)),
      tailGrace_(tailGrace) {
  if (canceller)
    player_.setTap([canceller = std::move(canceller)](auto samples, auto playsAt) {
      canceller->render(samples, playsAt);
    });
}

SpeechOutput::~SpeechOutput() {
  // The owner is going away too: it hears nothing more.
  onSpoken = nullptr;
  onSpeaking = nullptr;
  close();
}

void SpeechOutput::open() {
  open_ = true;
  // The stream runs from now on, so the first reply starts on a steady one.
  player_.open();
}

void SpeechOutput::close() {
  cut();
  player_.close();
  open_ = false;
}

void SpeechOutput::speak(const std::string& text) {
  if (text.empty() || !open_)
    return;
  queue_.push_back(text);
  if (!busy_)
    speakNext();
}

void SpeechOutput::speakNext() {
  if (queue_.empty() || !open_)
    return;
  const std::string text = queue_.front();
  queue_.pop_front();
  busy_ = true;  // from the render on, so a second text waits its turn
  const std::uint64_t generation = ++generation_;
  boost::asio::post(
      renderStrand_, [this, main = main_, weak = std::weak_ptr<Alive>(alive_), renderer = renderer_,
                      text, locale = settings_.locale, generation] {
        // At the player's rate already: its stream must not wait for a
        // conversion.
        PcmAudio audio = renderer->render(text, locale).resampled(AudioPlayer::sampleRate);
        boost::asio::post(main, [this, weak, text, generation, audio = std::move(audio)]() mutable {
          // Cut (or closed) while rendering: the audio is dropped.
          if (!weak.lock() || generation != generation_ || !busy_)
            return;
          if (audio.empty()) {
            voiceLogger("audio.session")->error("TTS render produced no audio");
            finish(generation);
            return;
          }
          lastSpoken_ = text;
          if (onSpoken)
            onSpoken(text);
          setSpeaking(true);
          player_.play(std::move(audio), [this, weak, generation](const std::string& error) {
            if (!error.empty())
              voiceLogger("audio.session")->error("{}", error);
            boost::asio::post(main_, [this, weak, generation] {
              if (weak.lock())
                finish(generation);
            });
          });
        });
      });
}

void SpeechOutput::finish(std::uint64_t generation) {
  if (!busy_ || generation != generation_)
    return;
  busy_ = false;
  if (isSpeaking_)
    voiceLogger("audio.session")->info("spoken; listening again");
  setSpeaking(false);
  speakNext();
}

void SpeechOutput::setSpeaking(bool speaking) {
  // A reply that follows the last within the echo's tail continues it, as
  // far as the microphone can tell: what it heard across the gap is ours.
  const auto at = voice::EchoGuard::now();
  if (speaking && !isSpeaking_ && !(endedAt_ && at - *endedAt_ < tailGrace_))
    startedAt_ = at;
  else if (!speaking && isSpeaking_)
    endedAt_ = at;
  isSpeaking_ = speaking;
  if (onSpeaking)
    onSpeaking(speaking);
}

void SpeechOutput::cut() {
  queue_.clear();
  ++generation_;
  player_.cut();
  busy_ = false;
  setSpeaking(false);
}

}  // namespace parley::desktop
