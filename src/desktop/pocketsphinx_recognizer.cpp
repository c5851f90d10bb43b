#include "desktop/pocketsphinx_recognizer.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/fsg_model.h>
#include <sphinxbase/jsgf.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "desktop/voice_log.hpp"
#include "voice/meta_command.hpp"
#include "voice/speech_tokens.hpp"

namespace parley::desktop {
namespace {

constexpr const char* commandSearch = "commands";
// The search pocketsphinx names the language model it was started with.
constexpr const char* freeSearch = "_default";
constexpr std::size_t maxUtteranceSamples = 16000 * 30;

bool inDictionary(ps_decoder_t* decoder, const std::string& word) {
  char* phones = ps_lookup_word(decoder, word.c_str());
  if (!phones)
    return false;
  std::free(phones);
  return true;
}

// The spoken commands as a JSGF grammar, leaving out phrases with a word the
// dictionary does not know (pocketsphinx refuses the whole grammar then).
std::string commandGrammar(ps_decoder_t* decoder) {
  std::string alternatives;
  for (const auto& phrase : voice::metaCommandPhrases()) {
    const bool known = std::all_of(phrase.tokens.begin(), phrase.tokens.end(),
                                   [&](const std::string& w) { return inDictionary(decoder, w); });
    if (!known)
      continue;
    std::string words;
    for (const auto& token : phrase.tokens) {
      if (!words.empty())
        words += " ";
      words += token;
    }
    if (!alternatives.empty())
      alternatives += " | ";
    alternatives += words;
  }
  if (alternatives.empty())
    return "";
  return "#JSGF V1.0;\ngrammar commands;\npublic <command> = " + alternatives + " ;\n";
}

// Compiles the grammar into the command search. ps_set_jsgf_string would do
// it in one call but keeps the parsed grammar forever; this frees it.
bool loadGrammar(ps_decoder_t* decoder, const std::string& grammar) {
  jsgf_t* parsed = jsgf_parse_string(grammar.c_str(), nullptr);
  if (!parsed)
    return false;
  bool loaded = false;
  if (jsgf_rule_t* rule = jsgf_get_public_rule(parsed)) {
    if (fsg_model_t* fsg = jsgf_build_fsg(parsed, rule, ps_get_logmath(decoder), 6.5f)) {
      loaded = ps_set_fsg(decoder, commandSearch, fsg) == 0;
      fsg_model_free(fsg);  // the decoder keeps its own reference
    }
  }
  jsgf_grammar_free(parsed);
  return loaded;
}

std::vector<std::int16_t> toInt16(std::span<const float> samples) {
  std::vector<std::int16_t> out;
  out.reserve(samples.size());
  for (const float sample : samples) {
    const float clipped = std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
    out.push_back(static_cast<std::int16_t>(std::lrint(clipped * 32767.0f)));
  }
  return out;
}

std::string hypothesis(ps_decoder_t* decoder) {
  std::int32_t score = 0;
  const char* text = ps_get_hyp(decoder, &score);
  return text ? text : "";
}

}  // namespace

PocketsphinxRecognizer::PocketsphinxRecognizer(std::string modelDir,
                                               boost::asio::any_io_executor workers,
                                               bool commandHints)
    : modelDir_(std::move(modelDir)),
      commandHints_(commandHints),
      strand_(boost::asio::make_strand(workers)) {}

PocketsphinxRecognizer::~PocketsphinxRecognizer() {
  if (decoder_)
    ps_free(decoder_);
  if (config_)
    cmd_ln_free_r(config_);
}

bool PocketsphinxRecognizer::prepare(std::string_view locale) {
  std::string message;
  {
    std::lock_guard decodeLock(decodeMutex_);
    if (!decoder_) {
      const std::filesystem::path dir(modelDir_);
      const auto hmm = dir / "en-us";
      const auto lm = dir / "en-us.lm.bin";
      const auto dict = dir / "cmudict-en-us.dict";
      if (locale.substr(0, 2) != "en") {
        message = "Speech recognition is not available for " + std::string(locale) + ".";
      } else if (!std::filesystem::exists(hmm / "mdef") || !std::filesystem::exists(lm) ||
                 !std::filesystem::exists(dict)) {
        message = "The speech model is missing from " + modelDir_ +
                  " (install the Debian package pocketsphinx-en-us).";
      } else {
        config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(),
                              "-dict", dict.c_str(), "-logfn", "/dev/null", nullptr);
        decoder_ = config_ ? ps_init(config_) : nullptr;
        if (!decoder_) {
          message = "Speech recognition is temporarily unavailable. Try again in a moment.";
        } else if (commandHints_) {
          const std::string grammar = commandGrammar(decoder_);
          grammarLoaded_ = !grammar.empty() && loadGrammar(decoder_, grammar);
          ps_set_search(decoder_, freeSearch);
        }
      }
    }
  }
  std::lock_guard lock(mutex_);
  prepared_ = message.empty();
  if (!prepared_) {
    voiceLogger("audio.stt")->error("{}", message);
    emit(Event::Kind::assetsUnavailable, message);
  }
  return prepared_;
}

bool PocketsphinxRecognizer::start(const std::vector<std::string>&) {
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
  return true;
}

void PocketsphinxRecognizer::stop() {
  std::lock_guard lock(mutex_);
  if (!running_)
    return;
  running_ = false;
  ++generation_;
}

void PocketsphinxRecognizer::append(std::span<const float> samples) {
  if (!acceptingAudio())
    return;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (!running_)
      return;
    generation = generation_;
  }
  boost::asio::post(strand_,
                    [weak = weak_from_this(), audio = toInt16(samples), generation]() mutable {
                      if (auto self = weak.lock())
                        self->process(std::move(audio), generation);
                    });
}

std::string PocketsphinxRecognizer::commandFor(const std::string& free) {
  const auto freeTokens = voice::SpeechTokens::tokenize(free);
  if (!grammarLoaded_ || freeTokens.empty() || freeTokens.size() > voice::maxPhraseLength() + 1) {
    return free;
  }
  if (ps_set_search(decoder_, commandSearch) != 0)
    return free;
  ps_start_utt(decoder_);
  ps_process_raw(decoder_, utteranceAudio_.data(), utteranceAudio_.size(), FALSE, TRUE);
  ps_end_utt(decoder_);
  const std::string command = hypothesis(decoder_);
  ps_set_search(decoder_, freeSearch);
  const auto commandTokens = voice::SpeechTokens::tokenize(command);
  const bool shared = std::any_of(commandTokens.begin(), commandTokens.end(), [&](const auto& t) {
    return std::find(freeTokens.begin(), freeTokens.end(), t) != freeTokens.end();
  });
  return shared ? command : free;
}

std::string PocketsphinxRecognizer::finish() {
  ps_end_utt(decoder_);
  inUtterance_ = false;
  lastPartial_.clear();
  std::string text = commandHints_ ? commandFor(hypothesis(decoder_)) : hypothesis(decoder_);
  utteranceAudio_.clear();
  return text;
}

void PocketsphinxRecognizer::process(std::vector<std::int16_t> samples, std::uint64_t generation) {
  auto current = [&] {
    std::lock_guard lock(mutex_);
    return running_ && generation_ == generation;
  };
  // Under the lock, so nothing of this request is emitted once stop() returns.
  auto emitCurrent = [&](Event::Kind kind, std::string text) {
    std::lock_guard lock(mutex_);
    if (running_ && generation_ == generation)
      emit(kind, std::move(text));
  };
  std::lock_guard decodeLock(decodeMutex_);
  if (!decoder_)
    return;
  if (generation != decodedGeneration_) {
    // A new request: whatever the old one was hearing is dropped.
    if (inUtterance_)
      ps_end_utt(decoder_);
    inUtterance_ = false;
    lastPartial_.clear();
    utteranceAudio_.clear();
    decodedGeneration_ = generation;
  }
  if (!current())
    return;
  if (!inUtterance_) {
    ps_start_utt(decoder_);
    inUtterance_ = true;
    heardSpeech_ = false;
  }
  ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE);
  utteranceAudio_.insert(utteranceAudio_.end(), samples.begin(), samples.end());
  if (utteranceAudio_.size() > maxUtteranceSamples) {
    utteranceAudio_.erase(utteranceAudio_.begin(),
                          utteranceAudio_.end() - static_cast<std::ptrdiff_t>(maxUtteranceSamples));
  }
  if (ps_get_in_speech(decoder_)) {
    if (!heardSpeech_) {
      heardSpeech_ = true;
      emitCurrent(Event::Kind::speechStarted, "");
    }
    const std::string partial = hypothesis(decoder_);
    if (!partial.empty() && partial != lastPartial_) {
      lastPartial_ = partial;
      emitCurrent(Event::Kind::volatileText, partial);
    }
  } else if (heardSpeech_) {
    std::string text = finish();
    const auto kind = text.empty() ? Event::Kind::nothingRecognized : Event::Kind::finalizedText;
    emitCurrent(kind, std::move(text));
  } else if (utteranceAudio_.size() > 16000) {
    // Silence before any speech: keep only the last half second for the
    // command grammar's second look.
    utteranceAudio_.erase(utteranceAudio_.begin(), utteranceAudio_.end() - 8000);
  }
}

std::string PocketsphinxRecognizer::decode(const std::vector<std::int16_t>& samples) {
  std::lock_guard decodeLock(decodeMutex_);
  if (!decoder_)
    return "";
  if (inUtterance_)
    ps_end_utt(decoder_);
  ps_start_utt(decoder_);
  inUtterance_ = true;
  ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, TRUE);
  utteranceAudio_ = samples;
  return finish();
}

}  // namespace parley::desktop
