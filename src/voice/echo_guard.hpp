#pragma once

// Keeps a short history of what the device itself has just spoken and judges
// each recognised utterance: too similar to recent speech, and it is the
// loudspeaker heard back through the microphone. Commands are never echo, so
// "stop" always gets through while the device talks.
//
// The guard owns no clock: every time is handed in by the caller, all on one
// clock of the caller's choosing.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "voice/speech_tokens.hpp"

namespace parley::voice {

class EchoGuard {
 public:
  using Seconds = std::chrono::duration<double>;
  // A moment on the caller's clock; a steady_clock::time_point converts
  // implicitly.
  using Instant = std::chrono::time_point<std::chrono::steady_clock, Seconds>;
  static Instant now() { return std::chrono::steady_clock::now(); }

  struct Config {
    // How long a spoken record stays in the history.
    Seconds window{8.0};
    // How long after the device stopped speaking its speech can still echo.
    Seconds tailGrace{0.5};
    // Score at or above which an utterance is echo.
    double similarityThreshold = 0.6;
    // Shorter utterances are always accepted: a few words match by chance.
    std::int64_t minimumTokensForSimilarity = 3;

    bool operator==(const Config&) const = default;
  };

  struct Spoken {
    TokenList tokens;
    Instant at;

    bool operator==(const Spoken&) const = default;
  };

  class Verdict {
   public:
    enum class Kind { echo, accept };

    static Verdict echo(double similarity) { return Verdict(Kind::echo, similarity); }
    static Verdict accept() { return Verdict(Kind::accept, 0.0); }

    Kind kind() const { return kind_; }
    // The score of an echo verdict; zero for accept.
    double similarity() const { return similarity_; }

    bool operator==(const Verdict&) const = default;

   private:
    Verdict(Kind kind, double similarity) : kind_(kind), similarity_(similarity) {}
    Kind kind_;
    double similarity_;
  };

  EchoGuard();
  explicit EchoGuard(Config config) : config_(config) {}

  const Config& config() const { return config_; }
  const std::vector<Spoken>& history() const { return history_; }
  // Utterances judged echo since construction.
  std::int64_t suppressedCount() const { return suppressedCount_; }
  // The highest score among accepted utterances since construction: how
  // close the threshold came to rejecting the user's own words.
  double maxAcceptedSimilarity() const { return maxAcceptedSimilarity_; }

  // Remembers a text the device has just spoken (or is about to speak).
  void recordSpoken(std::string_view text, Instant at);
  // Forgets records older than the window.
  void prune(Instant now);
  Verdict evaluate(std::string_view heard, bool isSpeaking,
                   std::optional<Instant> lastSpeechEndedAt, Instant now);
  // Whether every word of `heard` is in `saying`, what the device is saying.
  // Heard through echo cancellation while the device speaks, such a command
  // may be the device's own voice let through, where evaluate() lets every
  // command pass.
  static bool madeOfWordsIn(std::string_view heard, std::string_view saying);
  // Forgets the history; the statistics stay.
  void reset() { history_.clear(); }

  // An utterance pieced together from several recent records is echo when at
  // least this share of its words were spoken.
  static constexpr double containmentThreshold = 0.85;

 private:
  Config config_;
  std::vector<Spoken> history_;
  std::int64_t suppressedCount_ = 0;
  double maxAcceptedSimilarity_ = 0.0;
};

}  // namespace parley::voice
