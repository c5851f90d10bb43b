#pragma once

// Decides, from the words recognised so far, how long a following silence
// must last before the utterance counts as finished. People pause in the
// middle of sentences, so an utterance that ends in "and" or "the" gets a long
// wait, a finished sentence a shorter one, and a lone command a very short
// one. It never looks at audio; the caller runs the timer.

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace parley::voice {

class Endpointer {
 public:
  struct Policy {
    // The text ends in sentence-final punctuation.
    std::chrono::milliseconds terminalMS{700};
    // Nothing else applies.
    std::chrono::milliseconds neutralMS{1100};
    // The text ends in a word or mark that announces more to come.
    std::chrono::milliseconds danglingMS{2000};
    // The whole text is a command other than "send it".
    std::chrono::milliseconds metaCommandMS{350};

    bool operator==(const Policy&) const = default;
  };

  class Decision {
   public:
    enum class Kind { waitMilliseconds, commitNow, idle };

    // Arm a timer for this long; commit when it expires.
    static Decision waitMilliseconds(std::chrono::milliseconds wait) {
      return Decision(Kind::waitMilliseconds, wait);
    }
    // Commit at once.
    static Decision commitNow() { return Decision(Kind::commitNow, {}); }
    // Nothing to commit; cancel any armed timer.
    static Decision idle() { return Decision(Kind::idle, {}); }

    Kind kind() const { return kind_; }
    // The wait of a waitMilliseconds decision; zero for the others.
    std::chrono::milliseconds milliseconds() const { return wait_; }

    bool operator==(const Decision&) const = default;

   private:
    Decision(Kind kind, std::chrono::milliseconds wait) : kind_(kind), wait_(wait) {}
    Kind kind_;
    std::chrono::milliseconds wait_;
  };

  enum class Reason {
    empty,
    explicitTerminator,
    metaCommand,
    dangling,
    terminalPunctuation,
    neutral
  };

  Endpointer();
  explicit Endpointer(Policy policy) : policy_(policy) {}

  const Policy& policy() const { return policy_; }

  // Judges the whole utterance recognised so far (finalised plus partial).
  std::pair<Decision, Reason> decide(std::string_view text) const;

  // The 105 words after which an utterance is unfinished, built on first use.
  // Tokens carry no apostrophes, so "that's" is listed as "thats".
  static const std::unordered_set<std::string>& danglingWords();

 private:
  Policy policy_;
};

// The reason's name, as written in the debug log ("terminalPunctuation").
std::string_view rawValue(Endpointer::Reason reason);

}  // namespace parley::voice
