#pragma once

// Turns agent Markdown, written for a screen, into a Narration: the text to
// show and a shorter plain string that sounds right through a speech
// synthesiser. It joins the two halves: markdown_blocks.hpp parses, and
// spoken_words.hpp renders the blocks as speech.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "narration/markdown_blocks.hpp"
#include "protocol/narration.hpp"

namespace parley::narration {

struct Projection {
  protocol::Narration narration;
  // The speech holds more characters (grapheme clusters) than the
  // projector's maximum, so a listener would want a digest instead.
  bool needsDigest = false;

  bool operator==(const Projection&) const = default;
  std::size_t hash() const;
};

class SpeechProjector {
 public:
  // One block of parsed Markdown.
  using Paragraph = markdown::Paragraph;
  using Heading = markdown::Heading;
  using List = markdown::List;
  using Table = markdown::Table;
  using Fence = markdown::Fence;
  using Block = markdown::Block;

  // What the application model uses for agent prose.
  static constexpr std::size_t kDefaultMaxSpeechLength = 900;

  explicit SpeechProjector(std::size_t maxLength = kDefaultMaxSpeechLength)
      : maxSpeechLength(maxLength) {}

  // Pure: the same input always gives the same projection, on any thread.
  // Input that is not valid UTF-8 is read with U+FFFD for each ill-formed
  // sequence, in the display text too, so what goes on the wire is always
  // valid UTF-8.
  Projection project(std::string_view markdown) const;

  static std::vector<Block> parseBlocks(std::string_view text);

  std::size_t maxSpeechLength;
};

}  // namespace parley::narration

template <>
struct std::hash<parley::narration::Projection> {
  std::size_t operator()(const parley::narration::Projection& p) const { return p.hash(); }
};
