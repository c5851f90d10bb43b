#pragma once

// Recognition by an OpenAI-compatible transcription server that the person
// runs (several local servers offer /v1/audio/transcriptions): each utterance
// the cutter finds speech in is posted as a WAV file, with the session's
// vocabulary as the prompt, and the reply's text is a final result. A capture
// is announced as it begins, so the session can wait for what it turns out
// to be.

#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "desktop/speech_recognizer.hpp"
#include "desktop/utterance_cutter.hpp"

namespace parley::desktop {

class HttpRecognizer : public SpeechRecognizer,
                       public std::enable_shared_from_this<HttpRecognizer> {
 public:
  HttpRecognizer(std::string baseUrl, std::string model, std::chrono::milliseconds timeout,
                 boost::asio::any_io_executor workers);

  bool prepare(std::string_view locale) override;
  bool start(const std::vector<std::string>& vocabulary) override;
  void stop() override;
  void renew(const std::vector<std::string>& vocabulary) override;
  void append(std::span<const float> samples) override;
  void setQuickEnd(bool quick) override;
  std::string name() const override { return "http"; }

  // One utterance, synchronously: the reply's text, or throws
  // std::runtime_error with the reason.
  std::string transcribe(const std::vector<float>& samples, const std::string& prompt) const;

 private:
  void post(std::vector<float> samples, std::chrono::steady_clock::time_point speechEnded,
            std::uint64_t generation, std::string prompt);

  std::string endpoint_;
  std::string model_;
  std::chrono::milliseconds timeout_;
  boost::asio::strand<boost::asio::any_io_executor> strand_;

  mutable std::mutex mutex_;  // guards what follows
  bool prepared_ = false;
  bool running_ = false;
  std::uint64_t generation_ = 0;
  std::string prompt_;
  UtteranceCutter cutter_;
};

}  // namespace parley::desktop
