#pragma once

// Turns agent Markdown, written for a screen, into a Narration: the text to
// show and a shorter plain string that sounds right through a speech
// synthesiser. Code blocks become a one-line description, tables a row
// count, long lists their first three items; links and URLs shrink to what
// a listener needs, paths and identifiers are read as words, and decoration
// (emphasis marks, box drawing, emoji) is dropped.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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
  struct Paragraph {
    std::string text;  // the lines, each trimmed, joined with single spaces
    bool operator==(const Paragraph&) const = default;
  };
  struct Heading {
    std::string text;  // without the hash marks
    bool operator==(const Heading&) const = default;
  };
  struct List {
    std::vector<std::string> items;
    bool operator==(const List&) const = default;
  };
  struct Table {
    std::size_t rows = 0;  // body rows: the header and separators not counted
    bool operator==(const Table&) const = default;
  };
  struct Fence {
    std::string language;            // first word of the info string, possibly empty
    std::vector<std::string> lines;  // raw lines between the fences
    bool operator==(const Fence&) const = default;
  };
  using Block = std::variant<Paragraph, Heading, List, Table, Fence>;

  // What the application model uses for agent prose.
  static constexpr std::size_t kDefaultMaxSpeechLength = 900;

  explicit SpeechProjector(std::size_t maxSpeechLength = kDefaultMaxSpeechLength)
      : maxSpeechLength(maxSpeechLength) {}

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
