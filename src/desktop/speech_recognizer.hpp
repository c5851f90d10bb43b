#pragma once

// A speech recogniser fed with microphone audio, reporting four plain events.
// Two backends implement it: pocketsphinx (offline, streaming partial and
// final results) and an OpenAI-compatible transcription server (a whole
// utterance at a time, final results only).
//
// Threads: append() runs on the audio thread and only takes the recogniser's
// own lock; prepare/start/stop run on the owner's strand; events arrive on a
// worker thread and the owner hops them where it wants them. A request's
// events are emitted under that lock, so none is emitted once stop() has
// returned.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

namespace parley::desktop {

struct VoiceSettings;

class SpeechRecognizer {
 public:
  struct Event {
    // Each speechStarted is followed by one finalizedText, nothingRecognized
    // or failed for what was heard, unless the request stops first: an owner
    // deciding whether the person has finished waits for it.
    enum class Kind {
      volatileText,
      finalizedText,
      assetsUnavailable,
      failed,
      speechStarted,
      nothingRecognized,
    };
    Kind kind;
    std::string text;
    // For a final text: when its speaker stopped, as far as the backend
    // knows (one that hears whole utterances learns it late).
    std::optional<std::chrono::steady_clock::time_point> speechEnded;
  };

  virtual ~SpeechRecognizer() = default;

  // Set once, before prepare().
  std::function<void(const Event&)> onEvent;

  // Loads what the backend needs; false (with an assetsUnavailable event)
  // when it cannot be used.
  virtual bool prepare(std::string_view locale) = 0;
  // Starts recognising a new utterance with these hint sources; true when a
  // request is live (also when one already was).
  virtual bool start(const std::vector<std::string>& vocabulary) = 0;
  // Ends the request; results still pending are dropped, and so is what is
  // being heard.
  virtual void stop() = 0;
  // Takes new hints for what is heard from now on, dropping nothing (a
  // backend without hints has nothing to do).
  virtual void renew(const std::vector<std::string>& /*vocabulary*/) {}
  // 16 kHz mono samples from the microphone.
  virtual void append(std::span<const float> samples) = 0;
  // Set while the system speaks and the person may talk over it: an
  // utterance ends at the first pause, as what is said then is a command
  // wanted at once (a backend that finds the end of speech its own way
  // keeps to it).
  virtual void setQuickEnd(bool /*quick*/) {}

  // Cleared while the system speaks: the microphone stays open but nothing it
  // hears is recognised.
  void setAcceptingAudio(bool accepting) { acceptingAudio_.store(accepting); }
  bool acceptingAudio() const { return acceptingAudio_.load(); }

  virtual std::string name() const = 0;

  // The backend the settings choose; its blocking work runs on `workers`.
  static std::shared_ptr<SpeechRecognizer> make(const VoiceSettings& settings,
                                                boost::asio::any_io_executor workers);

 protected:
  void emit(Event::Kind kind, std::string text,
            std::optional<std::chrono::steady_clock::time_point> speechEnded = {}) const {
    if (onEvent)
      onEvent(Event{kind, std::move(text), speechEnded});
  }

 private:
  std::atomic<bool> acceptingAudio_{true};
};

}  // namespace parley::desktop
