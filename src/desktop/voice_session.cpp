#include "desktop/voice_session.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "desktop/audio_devices.hpp"
#include "desktop/voice_log.hpp"
#include "text/unicode.hpp"

namespace parley::desktop {

VoiceSession::VoiceSession(const VoiceSettings& settings, boost::asio::any_io_executor main,
                           boost::asio::any_io_executor workers)
    : settings_(settings),
      main_(main),
      workers_(workers),
      recognizer_(SpeechRecognizer::make(settings, workers)),
      canceller_(settings.echoCancellation ? EchoCanceller::make(AudioPlayer::sampleRate)
                                           : nullptr),
      output_(settings, main, workers, canceller_, echoGuard_.config().tailGrace),
      endpointTimer_(main) {
  output_.onSpoken = [this](const std::string& text) {
    echoGuard_.recordSpoken(text, voice::EchoGuard::now());
  };
  output_.onSpeaking = [this](bool speaking) {
    if (canceller_)
      recognizer_->setQuickEnd(speaking);
    else
      recognizer_->setAcceptingAudio(!speaking);
  };
  recognizer_->onEvent = [this, main = main_, weak = std::weak_ptr<Alive>(alive_),
                          request = request_](const SpeechRecognizer::Event& event) {
    // Runs on a worker, maybe while the session goes away: it reads
    // only its own copies, and `this` is checked alive on the main
    // executor before it is touched.
    boost::asio::post(main, [this, weak, event, heardIn = request->load()] {
      if (weak.lock())
        onRecognition(event, heardIn);
    });
  };
}

VoiceSession::~VoiceSession() {
  stop();
}

template <class F>
void VoiceSession::onMain(F work) {
  boost::asio::post(main_, [weak = std::weak_ptr<Alive>(alive_), work = std::move(work)]() mutable {
    if (weak.lock())
      work();
  });
}

void VoiceSession::setError(const std::string& message) {
  if (lastError_ != message)
    lastError_ = message;
}

bool VoiceSession::start(std::string& error) {
  if (isRunning_)
    return true;
  auto log = voiceLogger("audio.session");
  // There is no permission prompt on this desktop: a microphone the sound
  // server offers can be read.
  std::optional<std::string> problem;
  try {
    problem = AudioDevices::inputProblem(AudioDevices::query());
  } catch (const std::exception& failure) {
    problem = std::string("The sound server cannot be reached (") + failure.what() +
              "). Check that PulseAudio or PipeWire's pulse server is running.";
  }
  if (!problem) {
    std::string inputError;
    auto hear = [recognizer = recognizer_, canceller = canceller_,
                 heardAt = audioHeardAt_](std::span<const float> samples) {
      heardAt->store(std::chrono::steady_clock::now().time_since_epoch().count());
      if (canceller)
        recognizer->append(canceller->capture(samples));
      else
        recognizer->append(samples);
    };
    if (!input_.start(hear, inputError)) {
      problem = inputError;
    }
  }
  if (problem) {
    lastError_ = *problem;
    error = *problem;
    log->error("engine start failed: {}", *problem);
    return false;
  }
  isRunning_ = true;
  output_.open();
  if (prepared_) {
    startListening();
  } else if (!preparing_) {
    // Loading a model takes a moment: listening starts once it is ready.
    preparing_ = true;
    boost::asio::post(workers_, [this, main = main_, weak = std::weak_ptr<Alive>(alive_),
                                 recognizer = recognizer_, locale = settings_.locale] {
      const bool ready = recognizer->prepare(locale);
      boost::asio::post(main, [this, weak, ready] {
        if (!weak.lock())
          return;
        preparing_ = false;
        prepared_ = ready;
        if (isRunning_)
          startListening();
      });
    });
  }
  return true;
}

void VoiceSession::startListening() {
  if (!isRunning_ || isListening_)
    return;
  accumulator_.reset();
  pendingSpeech_ = 0;
  if (!recognizer_->start(vocabulary_)) {
    if (!lastError_ || lastError_->empty())
      lastError_ = "Speech recognition could not start.";
    if (onAnnouncement)
      onAnnouncement(*lastError_);
    return;
  }
  isListening_ = true;
}

void VoiceSession::stopListening() {
  if (!isListening_)
    return;
  isListening_ = false;
  endpointTimer_.cancel();
  waitingSince_.reset();
  const std::string partial = accumulator_.volatileText();
  stopRecognition();
  if (!partial.empty())
    accumulator_.commitFinal(partial);
}

void VoiceSession::stop() {
  endpointTimer_.cancel();
  stopListening();
  output_.close();
  input_.stop();
  recognizer_->setAcceptingAudio(true);
  isRunning_ = false;
}

bool VoiceSession::isEcho(const std::string& text) {
  const auto verdict =
      echoGuard_.evaluate(text, output_.isSpeaking(), output_.endedAt(), voice::EchoGuard::now());
  if (verdict.kind() != voice::EchoGuard::Verdict::Kind::echo)
    return false;
  voiceLogger("audio.session")->debug("echo suppressed ({:.2f})", verdict.similarity());
  return true;
}

void VoiceSession::stopRecognition() {
  recognizer_->stop();
  // What the stopped request still had on its way to us is dropped.
  ++*request_;
  pendingSpeech_ = 0;
}

void VoiceSession::onRecognition(const SpeechRecognizer::Event& event, std::uint64_t request) {
  using Kind = SpeechRecognizer::Event::Kind;
  if (event.kind == Kind::assetsUnavailable) {
    lastError_ = event.text;
    if (onAnnouncement)
      onAnnouncement(event.text);
    return;
  }
  if (request != *request_)
    return;
  if (event.kind == Kind::failed) {
    setError(event.text);
    if (onError)
      onError(event.text);
  }
  if (!isListening_)
    return;
  switch (event.kind) {
    case Kind::speechStarted:
      ++pendingSpeech_;
      return;
    case Kind::volatileText:
      if (isEcho(event.text) || (canceller_ && output_.isSpeaking()))
        return;
      accumulator_.updateVolatile(event.text);
      personStoppedAt_.reset();  // still speaking
      rearmEndpoint();
      return;
    case Kind::finalizedText:
      settleSpeech();
      if (isEcho(event.text)) {
        if (waitingSince_)
          endpointReached();
        return;
      }
      if (heardOverOurSpeech(event))
        return;
      accumulator_.commitFinal(event.text);
      personStoppedAt_ = event.speechEnded;
      rearmEndpoint();
      return;
    case Kind::nothingRecognized:
    case Kind::failed:
      settleSpeech();
      // The commit that waited for this speech need wait no longer.
      if (waitingSince_)
        endpointReached();
      return;
    case Kind::assetsUnavailable:
      return;
  }
}

bool VoiceSession::heardOverOurSpeech(const SpeechRecognizer::Event& event) {
  // Judged by when the person stopped: a prompt finished before we began is
  // theirs, and what ends just after us may still hold our echo.
  const auto ended =
      event.speechEnded ? voice::EchoGuard::Instant(*event.speechEnded) : voice::EchoGuard::now();
  const auto& started = output_.startedAt();
  if (!canceller_ || !started || ended < *started ||
      (!output_.isSpeaking() && ended > *output_.endedAt() + echoGuard_.config().tailGrace))
    return false;
  // Until the canceller has learnt the room, and at times when a reply
  // starts, our speech gets through, and a transcription model hears words
  // in it that nobody said. So only "stop" is taken, and at once: what it
  // does if it was never said costs a "repeat that", where a "yes" or a
  // "no" would answer a permission dialog.
  if (const auto command = voice::parseMetaCommand(event.text);
      command == voice::MetaCommand::stop &&
      !voice::EchoGuard::madeOfWordsIn(event.text, output_.lastSpoken().value_or("")))
    handleMeta(*command);
  else
    voiceLogger("audio.session")->info("heard over our speech, not taken: {}", event.text);
  if (waitingSince_)
    endpointReached();
  return true;
}

void VoiceSession::settleSpeech() {
  if (pendingSpeech_ > 0)
    --pendingSpeech_;
}

void VoiceSession::rearmEndpoint() {
  endpointTimer_.cancel();
  waitingSince_.reset();
  const std::string joined = accumulator_.joined();
  auto [decision, reason] = endpointer_.decide(joined);
  if (decision.kind() == voice::Endpointer::Decision::Kind::waitMilliseconds) {
    const auto trailing = voice::trailingMetaCommand(std::string(text::trimmed(joined)));
    if (trailing && trailing->first == voice::MetaCommand::sendIt) {
      decision = voice::Endpointer::Decision::commitNow();
      reason = voice::Endpointer::Reason::explicitTerminator;
    }
  }
  if (decision.kind() == voice::Endpointer::Decision::Kind::waitMilliseconds && personStoppedAt_) {
    // The pause is counted from when the speaker stopped: a backend that
    // hears whole utterances reports them only after its own wait for quiet
    // and the transcription.
    const auto paused = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - *personStoppedAt_);
    // A pause already over still goes through the timer: speech that began
    // since holds the commit back.
    decision = voice::Endpointer::Decision::waitMilliseconds(
        std::max(decision.milliseconds() - paused, std::chrono::milliseconds(0)));
  }
  switch (decision.kind()) {
    case voice::Endpointer::Decision::Kind::waitMilliseconds:
      voiceLogger("audio.session")
          ->debug("endpoint armed {}ms ({})", decision.milliseconds().count(),
                  voice::rawValue(reason));
      armEndpoint(decision.milliseconds());
      return;
    case voice::Endpointer::Decision::Kind::commitNow:
      onMain([this] { commit(); });
      return;
    case voice::Endpointer::Decision::Kind::idle:
      return;
  }
}

void VoiceSession::armEndpoint(std::chrono::milliseconds wait) {
  endpointTimer_.expires_after(wait);
  endpointTimer_.async_wait(
      [this, weak = std::weak_ptr<Alive>(alive_)](const boost::system::error_code& error) {
        if (!error && weak.lock())
          endpointReached();
      });
}

void VoiceSession::endpointReached() {
  endpointTimer_.cancel();
  const auto now = std::chrono::steady_clock::now();
  const auto heardAt = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(audioHeardAt_->load()));
  const bool audioBehind = now - heardAt > audioLag;
  if ((pendingSpeech_ > 0 || audioBehind) && isListening_) {
    // The person paused and spoke again: what they are saying belongs to
    // this prompt ("... never mind" must cancel it), so the commit waits
    // for it, though not for ever. So it does while what they said in the
    // pause may still be on its way.
    if (!waitingSince_) {
      waitingSince_ = now;
      voiceLogger("audio.session")->debug("endpoint waits for the speech under way");
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - *waitingSince_);
    if (pendingSpeech_ > 0 && waited < speechWaitLimit) {
      armEndpoint(speechWaitLimit - waited);
      return;
    }
    if (pendingSpeech_ == 0 && waited < audioWaitLimit) {
      armEndpoint(std::chrono::milliseconds(20));
      return;
    }
  }
  commit();
}

void VoiceSession::commit() {
  endpointTimer_.cancel();
  personStoppedAt_.reset();
  waitingSince_.reset();
  const bool partial = !accumulator_.volatileText().empty();
  std::string text = accumulator_.drain();
  if (isListening_) {
    if (partial) {
      // A streaming recogniser would finalise these words again later: the
      // next utterance gets a fresh request.
      stopRecognition();
      recognizer_->start(vocabulary_);
    } else {
      // What is being heard now is the next utterance's: it is kept.
      recognizer_->renew(vocabulary_);
    }
  }
  if (text.empty())
    return;
  if (const auto command = voice::parseMetaCommand(text)) {
    handleMeta(*command);
    return;
  }
  if (const auto trailing = voice::trailingMetaCommand(text)) {
    if (trailing->first == voice::MetaCommand::scratchThat) {
      handleMeta(voice::MetaCommand::scratchThat);
      return;
    }
    text = trailing->second;
    if (text.empty())
      return;
  }
  if (onPrompt)
    onPrompt(text);
}

void VoiceSession::handleMeta(voice::MetaCommand command) {
  voiceLogger("audio.session")->info("meta command: {}", voice::rawValue(command));
  switch (command) {
    case voice::MetaCommand::repeatLast:
      if (const auto last = output_.lastSpoken())
        speak(*last);
      break;
    case voice::MetaCommand::scratchThat:
      accumulator_.reset();
      break;
    case voice::MetaCommand::stop:
      silence();
      break;
    default:
      break;
  }
  if (onMetaCommand)
    onMetaCommand(std::string(voice::rawValue(command)));
}

void VoiceSession::speak(const protocol::Narration& narration) {
  speak(narration.speech.empty() ? narration.text : narration.speech);
}

void VoiceSession::speak(const std::string& raw) {
  if (isRunning_)
    output_.speak(std::string(text::trimmed(raw)));
}

void VoiceSession::silence() {
  output_.cut();
}

std::unique_ptr<DesktopVoice> makeDesktopVoice(const VoiceSettings& settings,
                                               boost::asio::any_io_executor main,
                                               boost::asio::any_io_executor workers) {
  return std::make_unique<VoiceSession>(settings, main, workers);
}

DesktopVoice::Display VoiceSession::display() const {
  std::string text = transcript();
  if (!volatileTranscript().empty())
    text += (text.empty() ? "" : " ") + volatileTranscript();
  return {isListening(), isSpeaking(), micLevel(), std::move(text), lastError()};
}

}  // namespace parley::desktop
