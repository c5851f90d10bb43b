#pragma once

// The blocks of agent Markdown, as far as speaking it needs: paragraphs,
// headings, lists, tables (only their size) and fenced code. A parser of
// its own, in the manner of a Markdown library's parse step; rendering the
// blocks is the speech side's job (spoken_words.hpp).

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace parley::narration::markdown {

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

// Pure; any text parses.
std::vector<Block> parseBlocks(std::string_view text);

}  // namespace parley::narration::markdown
