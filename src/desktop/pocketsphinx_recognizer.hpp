#pragma once

// Offline recognition with pocketsphinx and its packaged US English model:
// audio is decoded as it arrives, the current hypothesis is a partial result
// and the end of speech (the decoder's own voice activity detection) makes
// it final.
//
// Hints: the decoder also holds a grammar of the spoken commands. A short
// utterance is decoded again against it, and the command is taken when it
// shares a word with the free hypothesis, so "send it" is not heard as
// "sent it".

#include <boost/asio/strand.hpp>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/speech_recognizer.hpp"

struct ps_decoder_s;
struct cmd_ln_s;

namespace parley::desktop {

class PocketsphinxRecognizer : public SpeechRecognizer,
                               public std::enable_shared_from_this<PocketsphinxRecognizer> {
 public:
  PocketsphinxRecognizer(std::string modelDir, boost::asio::any_io_executor workers,
                         bool commandHints = true);
  ~PocketsphinxRecognizer() override;

  bool prepare(std::string_view locale) override;
  bool start(const std::vector<std::string>& vocabulary) override;
  void stop() override;
  void append(std::span<const float> samples) override;
  std::string name() const override { return "pocketsphinx"; }

  // Decodes a whole recording at once (for measurements): the final text.
  std::string decode(const std::vector<std::int16_t>& samples);

 private:
  void process(std::vector<std::int16_t> samples, std::uint64_t generation);
  std::string finish();
  std::string commandFor(const std::string& free);

  std::string modelDir_;
  bool commandHints_;
  bool grammarLoaded_ = false;
  boost::asio::strand<boost::asio::any_io_executor> strand_;

  // Decoder state: touched only on the strand (or under decodeMutex_).
  std::mutex decodeMutex_;
  ps_decoder_s* decoder_ = nullptr;
  cmd_ln_s* config_ = nullptr;
  bool inUtterance_ = false;
  bool heardSpeech_ = false;
  std::string lastPartial_;
  std::vector<std::int16_t> utteranceAudio_;
  std::uint64_t decodedGeneration_ = 0;

  std::mutex mutex_;  // guards what follows
  bool prepared_ = false;
  bool running_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace parley::desktop
