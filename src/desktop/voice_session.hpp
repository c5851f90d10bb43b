#pragma once

// The desktop voice session, the listening side: the microphone feeds the
// recogniser, recognised words gather into one utterance, the endpointer
// decides when it is over, and the utterance becomes a prompt or a spoken
// command. Replies are spoken by the speech output beside it. The echo
// canceller takes them out of what the microphone hears, so the person can
// talk over them, and a command said meanwhile is acted on at once; where it
// is off or unavailable, recognition is muted while Parley speaks. Either
// way the echo guard drops what the microphone still catches of them.
//
// Every public call and every callback happens on the `main` executor (one
// thread); blocking work (model loading, rendering, transcription) runs on
// `workers`.

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/audio_input.hpp"
#include "desktop/desktop_voice.hpp"
#include "desktop/echo_canceller.hpp"
#include "desktop/speech_output.hpp"
#include "desktop/speech_recognizer.hpp"
#include "desktop/voice_settings.hpp"
#include "voice/echo_guard.hpp"
#include "voice/endpointer.hpp"
#include "voice/meta_command.hpp"
#include "voice/transcript_accumulator.hpp"

namespace parley::desktop {

class VoiceSession : public DesktopVoice {
 public:
  // The longest a commit waits for speech that began after the pause that
  // ended the text before it.
  static constexpr std::chrono::milliseconds speechWaitLimit{10000};
  // The microphone hands over audio every 20 ms: none for longer means what
  // was said since has not reached us yet (the machine is busy), and a pause
  // timed on the clock may not be a pause at all. A commit waits for it,
  // though not for a microphone that has stopped.
  static constexpr std::chrono::milliseconds audioLag{100};
  static constexpr std::chrono::milliseconds audioWaitLimit{1000};

  VoiceSession(const VoiceSettings& settings, boost::asio::any_io_executor main,
               boost::asio::any_io_executor workers);
  ~VoiceSession() override;
  VoiceSession(const VoiceSession&) = delete;
  VoiceSession& operator=(const VoiceSession&) = delete;

  bool start(std::string& error) override;
  void stop() override;
  bool isRunning() const override { return isRunning_; }
  // Speaks the narration's speech form (its text when that is empty). Texts
  // handed over while speaking wait their turn.
  void speak(const protocol::Narration& narration) override;
  void speak(const std::string& text);

  void startListening();
  void stopListening();
  // Cuts the current speech and drops what waits to be spoken.
  void silence();

  bool isListening() const { return isListening_; }
  bool isSpeaking() const { return output_.isSpeaking(); }
  float micLevel() const { return isRunning_ ? input_.level() : 0.0f; }
  const std::string& transcript() const { return accumulator_.finalized(); }
  const std::string& volatileTranscript() const { return accumulator_.volatileText(); }
  const std::optional<std::string>& lastError() const { return lastError_; }
  const std::optional<std::string>& lastSpoken() const { return output_.lastSpoken(); }
  Display display() const override;
  std::string recognizerName() const { return recognizer_->name(); }

  void setVocabulary(std::vector<std::string> vocabulary) { vocabulary_ = std::move(vocabulary); }

 private:
  struct Alive {};

  void onRecognition(const SpeechRecognizer::Event& event, std::uint64_t request);
  void stopRecognition();
  void settleSpeech();
  // Takes what was said over our speech; false when it was not.
  bool heardOverOurSpeech(const SpeechRecognizer::Event& event);
  void rearmEndpoint();
  void armEndpoint(std::chrono::milliseconds wait);
  void endpointReached();
  void commit();
  void handleMeta(voice::MetaCommand command);
  bool isEcho(const std::string& text);
  void setError(const std::string& message);
  // Runs `work` on the main executor unless the session is gone by then.
  template <class F>
  void onMain(F work);

  VoiceSettings settings_;
  boost::asio::any_io_executor main_;
  boost::asio::any_io_executor workers_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
  // Counts the recogniser's requests; an event is tagged with the count when
  // it is emitted, and one from a stopped request is dropped.
  std::shared_ptr<std::atomic<std::uint64_t>> request_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  // When the microphone last handed over audio (steady clock ticks).
  std::shared_ptr<std::atomic<std::chrono::steady_clock::rep>> audioHeardAt_ =
      std::make_shared<std::atomic<std::chrono::steady_clock::rep>>(0);
  std::shared_ptr<SpeechRecognizer> recognizer_;
  voice::EchoGuard echoGuard_;
  // Null when echo cancellation is off or unavailable.
  std::shared_ptr<EchoCanceller> canceller_;
  AudioInput input_;
  SpeechOutput output_;

  voice::TranscriptAccumulator accumulator_;
  voice::Endpointer endpointer_;
  boost::asio::steady_timer endpointTimer_;
  std::vector<std::string> vocabulary_;
  std::optional<std::string> lastError_;
  // When the person stopped speaking, for the text waiting to be committed.
  std::optional<std::chrono::steady_clock::time_point> personStoppedAt_;
  // Speech the recogniser has begun to hear and not yet reported on.
  std::size_t pendingSpeech_ = 0;
  // Since when the commit has been waiting for that speech.
  std::optional<std::chrono::steady_clock::time_point> waitingSince_;
  bool isRunning_ = false;
  bool isListening_ = false;
  bool prepared_ = false;
  bool preparing_ = false;
};

// The desktop voice the application owns.
std::unique_ptr<DesktopVoice> makeDesktopVoice(const VoiceSettings& settings,
                                               boost::asio::any_io_executor main,
                                               boost::asio::any_io_executor workers);

}  // namespace parley::desktop
