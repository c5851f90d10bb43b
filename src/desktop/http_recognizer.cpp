#include "desktop/http_recognizer.hpp"

#include <boost/asio/post.hpp>
#include <boost/json.hpp>
#include <boost/url.hpp>

#include "desktop/http_client.hpp"
#include "desktop/pcm_audio.hpp"
#include "desktop/voice_log.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"
#include "voice/contextual_vocabulary.hpp"

namespace parley::desktop {
namespace {

// Transcription prompts are short; a long hint list only slows the server.
constexpr std::size_t promptTerms = 60;

std::string promptFor(const std::vector<std::string>& vocabulary) {
  std::string prompt;
  for (const auto& term : voice::ContextualVocabulary::terms(vocabulary, promptTerms)) {
    if (!prompt.empty())
      prompt += ", ";
    prompt += term;
  }
  return prompt;
}

}  // namespace

HttpRecognizer::HttpRecognizer(std::string baseUrl, std::string model,
                               std::chrono::milliseconds timeout,
                               boost::asio::any_io_executor workers)
    : model_(std::move(model)), timeout_(timeout), strand_(boost::asio::make_strand(workers)) {
  while (!baseUrl.empty() && baseUrl.back() == '/')
    baseUrl.pop_back();
  endpoint_ = baseUrl + "/v1/audio/transcriptions";
}

bool HttpRecognizer::prepare(std::string_view) {
  const auto parsed = boost::urls::parse_uri(endpoint_);
  const bool usable = parsed && (parsed->scheme() == "http" || parsed->scheme() == "https") &&
                      parsed->has_authority();
  {
    std::lock_guard lock(mutex_);
    prepared_ = usable;
  }
  if (!usable) {
    emit(Event::Kind::assetsUnavailable,
         "The transcription server address " + endpoint_ + " is not a valid http(s) URL.");
  }
  return usable;
}

bool HttpRecognizer::start(const std::vector<std::string>& vocabulary) {
  std::unique_lock lock(mutex_);
  if (running_)
    return true;
  if (!prepared_) {
    lock.unlock();
    emit(Event::Kind::assetsUnavailable, "The speech model is not ready yet.");
    return false;
  }
  running_ = true;
  ++generation_;
  prompt_ = promptFor(vocabulary);
  return true;
}

void HttpRecognizer::renew(const std::vector<std::string>& vocabulary) {
  std::string prompt = promptFor(vocabulary);
  std::lock_guard lock(mutex_);
  prompt_ = std::move(prompt);
}

void HttpRecognizer::stop() {
  std::lock_guard lock(mutex_);
  if (!running_)
    return;
  running_ = false;
  ++generation_;
  cutter_.drop();
}

void HttpRecognizer::setQuickEnd(bool quick) {
  std::lock_guard lock(mutex_);
  cutter_.setQuickEnd(quick);
}

void HttpRecognizer::append(std::span<const float> samples) {
  if (!acceptingAudio())
    return;
  std::lock_guard lock(mutex_);
  if (!running_)
    return;
  for (auto& event : cutter_.push(samples)) {
    if (event.kind == UtteranceCutter::Event::Kind::began) {
      emit(Event::Kind::speechStarted, "");
    } else if (!event.utterance) {
      voiceLogger("audio.stt")->debug("capture ended without speech");
      emit(Event::Kind::nothingRecognized, "");
    } else {
      voiceLogger("audio.stt")
          ->debug("capture ended: {} ms uploaded, the speaker stopped {} ms before",
                  event.utterance->samples.size() * 1000 / UtteranceCutter::sampleRate,
                  event.utterance->trailingQuiet.count());
      post(std::move(event.utterance->samples),
           std::chrono::steady_clock::now() - event.utterance->trailingQuiet, generation_, prompt_);
    }
  }
}

void HttpRecognizer::post(std::vector<float> samples,
                          std::chrono::steady_clock::time_point speechEnded,
                          std::uint64_t generation, std::string prompt) {
  boost::asio::post(strand_, [weak = weak_from_this(), samples = std::move(samples), speechEnded,
                              generation, prompt = std::move(prompt)] {
    auto self = weak.lock();
    if (!self)
      return;
    auto current = [&] { return self->running_ && self->generation_ == generation; };
    {
      std::lock_guard lock(self->mutex_);
      if (!current())
        return;
    }
    std::string text;
    std::string failure;
    try {
      text = std::string(text::trimmed(self->transcribe(samples, prompt)));
    } catch (const std::exception& error) {
      failure = error.what();
    }
    // A result for an utterance the session has moved past is dropped, and
    // so is an error after stop.
    std::lock_guard lock(self->mutex_);
    if (!current())
      return;
    if (!failure.empty()) {
      voiceLogger("audio.stt")->warn("transcription failed: {}", failure);
      self->emit(Event::Kind::failed, "Transcription stopped: " + failure);
    } else if (text.empty()) {
      self->emit(Event::Kind::nothingRecognized, "");
    } else {
      self->emit(Event::Kind::finalizedText, text, speechEnded);
    }
  });
}

std::string HttpRecognizer::transcribe(const std::vector<float>& samples,
                                       const std::string& prompt) const {
  std::vector<HttpFormPart> parts{
      {"file", PcmAudio::fromFloat(samples, UtteranceCutter::sampleRate).wav(), "utterance.wav",
       "audio/wav"},
      {"model", model_, "", ""},
      {"response_format", "json", "", ""},
  };
  if (!prompt.empty())
    parts.push_back({"prompt", prompt, "", ""});
  HttpReply reply;
  try {
    reply = HttpClient::postForm(endpoint_, {}, parts, timeout_);
  } catch (const HttpTransportError& error) {
    throw std::runtime_error("the transcription server at " + endpoint_ +
                             " could not be reached (" + error.what() + ")");
  }
  if (reply.status < 200 || reply.status > 299) {
    const std::string_view body = text::isValidUtf8(reply.body) ? std::string_view(reply.body) : "";
    throw std::runtime_error("the transcription server answered HTTP " +
                             std::to_string(reply.status) + ": " +
                             std::string(text::characterPrefix(text::trimmed(body), 200)));
  }
  boost::system::error_code error;
  const auto value = boost::json::parse(reply.body, error);
  const auto* object = !error ? value.if_object() : nullptr;
  const auto* textValue = object ? object->if_contains("text") : nullptr;
  if (!textValue || !textValue->is_string()) {
    throw std::runtime_error("the transcription server's reply has no text");
  }
  return std::string(textValue->as_string());
}

}  // namespace parley::desktop
