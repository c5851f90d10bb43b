#pragma once

// The text of one utterance while it is being heard: what the recogniser has
// finalised so far, and its latest still-changing hypothesis after that.

#include <string>
#include <string_view>

namespace parley::voice {

class TranscriptAccumulator {
 public:
  TranscriptAccumulator() = default;

  const std::string& finalized() const { return finalized_; }
  const std::string& volatileText() const { return volatileText_; }

  // The finalised text followed by the partial one.
  std::string joined() const;
  // True when nothing but white space has been heard.
  bool isEmpty() const;

  // Replaces the partial hypothesis.
  void updateVolatile(std::string_view text);
  // Appends a finalised piece; the partial it replaces is dropped.
  void commitFinal(std::string_view text);
  // Returns the whole utterance, trimmed, and starts a new one.
  std::string drain();
  void reset();

  bool operator==(const TranscriptAccumulator&) const = default;

  // A, a space unless A already ends in white space, then B; an empty side
  // adds nothing.
  static std::string join(std::string_view a, std::string_view b);

 private:
  std::string finalized_;
  std::string volatileText_;
};

}  // namespace parley::voice
