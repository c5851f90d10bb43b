#pragma once

// Parley's side of the conversation: texts to be spoken wait in a queue, are
// rendered on a worker one at a time and played through the one stream the
// player keeps open, and this keeps when our own speech last began and
// ended, which is what the listening side needs to tell our words from the
// person's. A cut drops the text playing and those waiting.
//
// Every call and every callback happens on the `main` executor; rendering
// runs on `workers`.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/audio_player.hpp"
#include "desktop/echo_canceller.hpp"
#include "desktop/speech_renderer.hpp"
#include "desktop/voice_settings.hpp"
#include "voice/echo_guard.hpp"

namespace parley::desktop {

class SpeechOutput {
 public:
  using Instant = voice::EchoGuard::Instant;

  // What is played goes to `canceller` too, when there is one. A reply that
  // starts within `tailGrace` of the last one's end continues it.
  SpeechOutput(const VoiceSettings& settings, boost::asio::any_io_executor main,
               boost::asio::any_io_executor workers, std::shared_ptr<EchoCanceller> canceller,
               voice::EchoGuard::Seconds tailGrace);
  ~SpeechOutput();
  SpeechOutput(const SpeechOutput&) = delete;
  SpeechOutput& operator=(const SpeechOutput&) = delete;

  // Opens the player's stream; texts are spoken from then until close().
  void open();
  void close();
  // Texts handed over while speaking wait their turn.
  void speak(const std::string& text);
  // Cuts the current speech and drops what waits to be spoken.
  void cut();

  bool isSpeaking() const { return isSpeaking_; }
  const std::optional<std::string>& lastSpoken() const { return lastSpoken_; }
  // When our own speech last began and ended.
  const std::optional<Instant>& startedAt() const { return startedAt_; }
  const std::optional<Instant>& endedAt() const { return endedAt_; }

  // A text is about to be heard.
  std::function<void(const std::string& text)> onSpoken;
  // Our speech began or ended.
  std::function<void(bool speaking)> onSpeaking;

 private:
  struct Alive {};

  void speakNext();
  void finish(std::uint64_t generation);
  void setSpeaking(bool speaking);

  VoiceSettings settings_;
  boost::asio::any_io_executor main_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  std::shared_ptr<SpeechRenderer> renderer_;
  boost::asio::strand<boost::asio::any_io_executor> renderStrand_;
  AudioPlayer player_;
  voice::EchoGuard::Seconds tailGrace_;
  std::deque<std::string> queue_;
  std::optional<std::string> lastSpoken_;
  std::optional<Instant> startedAt_;
  std::optional<Instant> endedAt_;
  std::uint64_t generation_ = 0;
  bool open_ = false;
  bool isSpeaking_ = false;  // speech is playing
  bool busy_ = false;        // a text is being rendered or played
};

}  // namespace parley::desktop
