#include "narration/markdown_blocks.hpp"

#include <algorithm>
#include <optional>

#include "text/unicode.hpp"

namespace parley::narration::markdown {
namespace {

std::string joined(const std::vector<std::string_view>& parts) {
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty())
      out += ' ';
    out += part;
  }
  return out;
}

bool isRule(std::string_view line) {
  const std::vector<std::string_view> characters = text::characterTexts(line);
  return characters.size() >= 3 &&
         std::all_of(characters.begin(), characters.end(), [](std::string_view c) {
           return c == "-" || c == "=" || c == "*" || c == "_" || c == "─" || c == "━" || c == "═";
         });
}

bool isSeparatorRow(std::string_view row) {
  bool any = false;
  for (const char c : row) {
    if (c == ' ' || c == '|')
      continue;
    if (c != '-' && c != ':')
      return false;
    any = true;
  }
  return any;
}

// The text of a bullet ("- item") or numbered ("1. item", "2) item") list
// line, if the line is one.
std::optional<std::string_view> listItemText(std::string_view t) {
  if (t.size() >= 2 && (t[0] == '-' || t[0] == '*' || t[0] == '+') && t[1] == ' ')
    return text::trimmedHorizontal(t.substr(2));
  std::size_t digits = 0;
  std::size_t digitsEnd = 0;
  text::CharacterCursor cursor(t);
  text::Character character;
  while (cursor.next(character) && text::isNumber(character.first)) {
    digitsEnd = character.end;
    ++digits;
  }
  const std::string_view rest = t.substr(digitsEnd);
  if (digits > 0 && rest.size() >= 2 && (rest[0] == '.' || rest[0] == ')') && rest[1] == ' ')
    return text::trimmedHorizontal(rest.substr(2));
  return std::nullopt;
}

std::string_view trimHashesAndSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of("# ");
  if (first == std::string_view::npos)
    return {};
  const std::size_t last = text.find_last_not_of("# ");
  return text.substr(first, last - first + 1);
}

class BlockParser {
 public:
  std::vector<Block> parse(std::string_view text) {
    std::vector<std::string_view> lines = splitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string_view t = text::trimmedHorizontal(lines[i]);
      if (t.starts_with("```") || t.starts_with("~~~")) {
        i = readFence(lines, i, t);
        continue;
      }
      if (t.empty()) {
        flushAll();
        continue;
      }
      if (t.starts_with('|')) {
        flushParagraph();
        flushList();
        tableRows_.push_back(t);
        continue;
      }
      flushTable();
      if (t.starts_with('#')) {
        const std::size_t run = t.find_first_not_of('#');
        if (run != std::string_view::npos && t[run] == ' ') {
          flushAll();
          blocks_.emplace_back(
              Heading{std::string(trimHashesAndSpaces(text::trimmedSpacesAndTabs(t.substr(run))))});
          continue;
        }
      }
      if (const auto item = listItemText(t)) {
        flushParagraph();
        listItems_.emplace_back(*item);
        continue;
      }
      flushList();
      // A rule between two paragraphs does not end the first one.
      if (isRule(t))
        continue;
      paragraphLines_.push_back(t);
    }
    flushAll();
    return std::move(blocks_);
  }

 private:
  // Lines end at line feeds. A carriage return before the line feed belongs
  // to the line ending: kept, it would make a blank line of a CRLF text
  // non-blank and a table separator row a body row.
  static std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (true) {
      const std::size_t end = text.find('\n', start);
      std::string_view line =
          text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (end != std::string_view::npos && line.ends_with('\r'))
        line.remove_suffix(1);
      lines.push_back(line);
      if (end == std::string_view::npos)
        break;
      start = end + 1;
    }
    return lines;
  }

  // Reads a fence opened on line `open` and returns the index of its last
  // line (the closing marker, or the last line of the text).
  std::size_t readFence(const std::vector<std::string_view>& lines, std::size_t open,
                        std::string_view t) {
    flushAll();
    const std::string_view marker = t.substr(0, 3);
    const std::string_view info = text::trimmedHorizontal(t.substr(3));
    Fence fence;
    fence.language = std::string(info.substr(0, info.find(' ')));
    std::size_t i = open + 1;
    for (; i < lines.size(); ++i) {
      if (text::trimmedHorizontal(lines[i]).starts_with(marker))
        break;
      fence.lines.emplace_back(lines[i]);
    }
    blocks_.emplace_back(std::move(fence));
    return i;
  }

  void flushParagraph() {
    if (paragraphLines_.empty())
      return;
    blocks_.emplace_back(Paragraph{joined(paragraphLines_)});
    paragraphLines_.clear();
  }

  void flushList() {
    if (listItems_.empty())
      return;
    blocks_.emplace_back(List{std::move(listItems_)});
    listItems_.clear();
  }

  void flushTable() {
    if (tableRows_.empty())
      return;
    const auto separators = std::count_if(tableRows_.begin(), tableRows_.end(), isSeparatorRow);
    const auto body = static_cast<std::ptrdiff_t>(tableRows_.size()) - separators - 1;
    // Built in place: moving a temporary Table into the variant makes GCC 12's
    // optimiser warn about the variant's inactive string members.
    Block& block = blocks_.emplace_back(std::in_place_type<Table>);
    std::get<Table>(block).rows = static_cast<std::size_t>(std::max<std::ptrdiff_t>(body, 0));
    tableRows_.clear();
  }

  void flushAll() {
    flushParagraph();
    flushList();
    flushTable();
  }

  std::vector<std::string_view> paragraphLines_;
  std::vector<std::string> listItems_;
  std::vector<std::string_view> tableRows_;
  std::vector<Block> blocks_;
};

}  // namespace

std::vector<Block> parseBlocks(std::string_view text) {
  return BlockParser().parse(text);
}

}  // namespace parley::narration::markdown
