#include "narration/spoken_words.hpp"

#include <algorithm>
#include <array>
#include <boost/url/parse.hpp>
#include <optional>
#include <utility>

#include "text/regex.hpp"
#include "text/unicode.hpp"

namespace parley::narration {
namespace {

using namespace std::string_view_literals;
using text::Regex;

// Compiled on first use, once per process; a function-local static makes
// the first use from several threads safe.
struct Patterns {
  Regex image{R"(!\[([^\]]*)\]\(([^)]*)\))"};
  Regex link{R"(\[([^\]]*)\]\(([^)]*)\))"};
  Regex bareURL{R"(\b(?:https?|wss?|ftp)://[^\s<>)\]"']+)"};
  Regex inlineCode{R"(`([^`]+)`)"};
  Regex bold{R"((\*\*|__)(.+?)\1)"};
  Regex strikethrough{R"(~~(.+?)~~)"};
  Regex italic{R"((?<![\w*_])([*_])([^*_]+)\1(?![\w*_]))"};
  Regex whitespaceRun{R"(\s+)"};
};

const Patterns& patterns() {
  static const Patterns instance;
  return instance;
}

constexpr std::array<std::string_view, 21> kNumberWords{
    "zero",     "one",     "two",     "three",     "four",     "five",     "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",   "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen", "twenty"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 29> kLanguageNames{{
    {"swift", "Swift"},      {"ts", "TypeScript"}, {"typescript", "TypeScript"},
    {"tsx", "TypeScript"},   {"js", "JavaScript"}, {"javascript", "JavaScript"},
    {"jsx", "JavaScript"},   {"py", "Python"},     {"python", "Python"},
    {"rb", "Ruby"},          {"go", "Go"},         {"java", "Java"},
    {"sh", "shell"},         {"bash", "shell"},    {"zsh", "shell"},
    {"console", "shell"},    {"json", "JSON"},     {"yaml", "YAML"},
    {"yml", "YAML"},         {"rs", "Rust"},       {"toml", "TOML"},
    {"sql", "SQL"},          {"html", "HTML"},     {"css", "CSS"},
    {"php", "PHP"},          {"c", "C"},           {"cpp", "C++"},
    {"objc", "Objective C"}, {"kt", "Kotlin"},
}};

constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kSpelledOut{{
    {"api", "A P I"},
    {"url", "U R L"},
    {"npm", "n p m"},
}};

std::string numberWord(std::size_t n) {
  return n < kNumberWords.size() ? std::string(kNumberWords[n]) : std::to_string(n);
}

std::string_view spelledOut(std::string_view word) {
  // The keys are three ASCII letters, and no letter longer than three bytes
  // lower-cases to an ASCII one, so longer words skip the lower-casing.
  if (word.size() > 9)
    return {};
  const std::string lower = text::lowercased(word);
  for (const auto& [key, spoken] : kSpelledOut) {
    if (lower == key)
      return spoken;
  }
  return {};
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view text,
                                                 std::string_view separators) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find_first_of(separators, start);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    if (stop > start)
      pieces.push_back(text.substr(start, stop - start));
    if (end == std::string_view::npos)
      break;
    start = end + 1;
  }
  return pieces;
}

template <class Range>
std::string join(const Range& parts, std::string_view separator) {
  std::string out;
  bool first = true;
  for (const auto& part : parts) {
    if (!first)
      out += separator;
    out += part;
    first = false;
  }
  return out;
}

bool endsWithAny(std::string_view text, std::string_view characters) {
  return !text.empty() && characters.find(text.back()) != std::string_view::npos;
}

// ---- words, identifiers and paths -------------------------------------------

std::vector<std::string> splitCamelCase(std::string_view word) {
  const std::vector<text::Character> characters = text::characters(word);
  std::vector<std::string> words;
  std::string current;
  for (std::size_t i = 0; i < characters.size(); ++i) {
    const char32_t c = characters[i].first;
    if (!current.empty() && text::isUppercase(c)) {
      const char32_t previous = characters[i - 1].first;
      const bool nextIsLower =
          i + 1 < characters.size() && text::isLowercase(characters[i + 1].first);
      if (text::isLowercase(previous) || text::isNumber(previous) ||
          (text::isUppercase(previous) && nextIsLower)) {
        words.push_back(std::move(current));
        current.clear();
      }
    }
    current += characters[i].in(word);
  }
  if (!current.empty())
    words.push_back(std::move(current));
  if (words.empty())
    words.emplace_back(word);
  return words;
}

std::string speakIdentifier(std::string_view identifier) {
  std::vector<std::string> words;
  for (const std::string_view piece : splitDroppingEmpty(identifier, "_-")) {
    for (std::string& word : splitCamelCase(piece)) {
      const std::string_view spoken = spelledOut(word);
      words.push_back(spoken.empty() ? std::move(word) : std::string(spoken));
    }
  }
  return join(words, " ");
}

bool isPathLike(std::string_view text) {
  if (text.find('/') == std::string_view::npos || text.find(' ') != std::string_view::npos)
    return false;
  const std::vector<std::string_view> pieces = splitDroppingEmpty(text, "/");
  if (pieces.size() < 2)
    return false;
  return text.starts_with('/') || text.starts_with("./") || text.starts_with("~/") ||
         pieces.back().find('.') != std::string_view::npos;
}

std::string speakPath(std::string_view path) {
  path = text::trimmedHorizontal(path);
  const std::vector<std::string_view> pieces = splitDroppingEmpty(path, "/");
  if (pieces.empty())
    return std::string(path);
  const std::string_view last = pieces.back();
  std::string spoken;
  if (last.find('.', 1) != std::string_view::npos) {
    const std::size_t dot = last.rfind('.');
    spoken = speakIdentifier(last.substr(0, dot)) + " dot " + speakIdentifier(last.substr(dot + 1));
  } else {
    spoken = speakIdentifier(last);
  }
  if (pieces.size() >= 2) {
    const std::string_view parent = pieces[pieces.size() - 2];
    if (parent != "~")
      spoken += ", in " + speakIdentifier(parent);
  }
  return spoken;
}

// A name with one short extension, such as notes.txt.
bool isFileName(std::string_view text) {
  if (text.find('.') == std::string_view::npos || text.starts_with('.'))
    return false;
  const std::vector<std::string_view> pieces = splitDroppingEmpty(text, ".");
  return pieces.size() == 2 && text::characterCount(pieces[1]) < 5;
}

std::string speakCode(std::string_view code) {
  std::string_view tail;
  if (endsWithAny(code, ",.;:!?)")) {
    tail = code.substr(code.size() - 1);
    code.remove_suffix(1);
  }
  std::string spoken =
      isPathLike(code) || isFileName(code) ? speakPath(code) : speakIdentifier(code);
  spoken += tail;
  return spoken;
}

std::string speakWord(std::string_view word) {
  constexpr std::string_view kTrailing = ",.;:!?)\"'";
  constexpr std::string_view kLeading = "(\"'";
  std::size_t end = word.size();
  while (end > 0 && kTrailing.find(word[end - 1]) != std::string_view::npos)
    --end;
  std::size_t start = 0;
  while (start < end && kLeading.find(word[start]) != std::string_view::npos)
    ++start;
  const std::string_view spoken = spelledOut(word.substr(start, end - start));
  if (spoken.empty())
    return std::string(word);
  std::string out(word.substr(0, start));
  out += spoken;
  out += word.substr(end);
  return out;
}

std::string spokenURL(std::string_view url) {
  const std::size_t keep = url.find_last_not_of(".,;:!?");
  const std::size_t split = keep == std::string_view::npos ? 0 : keep + 1;
  const std::string_view rest = url.substr(0, split);
  const std::string_view tail = url.substr(split);
  std::string spoken(rest);
  const auto parsed = boost::urls::parse_uri(rest);
  if (parsed && parsed->has_authority()) {
    // The host as written: decoding escapes could put control bytes or
    // broken UTF-8 into the speech.
    std::string_view host = parsed->encoded_host();
    if (!host.empty()) {
      if (host.starts_with("www."))
        host.remove_prefix(4);
      spoken.assign(host);
    }
  }
  spoken += tail;
  return spoken;
}

// ---- inline text -------------------------------------------------------------

bool isDroppedSymbol(char32_t cp) {
  return (cp >= 0x2500 && cp <= 0x257F) ||  // box drawing
         (cp >= 0x2580 && cp <= 0x259F) ||  // block elements
         (cp >= 0x2190 && cp <= 0x21FF) ||  // arrows
         (cp >= 0x25A0 && cp <= 0x27BF) ||  // shapes, symbols, dingbats
         (cp >= 0x2B00 && cp <= 0x2BFF) ||  // more arrows and symbols
         (cp >= 0xFE00 && cp <= 0xFE0F) ||  // variation selectors
         cp == 0x200D ||                    // zero-width joiner
         (cp >= 0x1F000 && cp <= 0x1FAFF);  // emoji and pictographs
}

std::string dropSymbols(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t position = 0; position < text.size();) {
    const text::Scalar scalar = text::decodeAt(text, position);
    if (!isDroppedSymbol(scalar.value))
      out.append(text.substr(scalar.begin, scalar.end - scalar.begin));
    position = scalar.end;
  }
  return out;
}

std::string collapseWhitespace(std::string_view text) {
  const std::string collapsed = patterns().whitespaceRun.replaceAllWith(text, " ");
  return std::string(text::trimmedSpacesAndTabs(collapsed));
}

std::string inlineSpeech(std::string_view text) {
  const Patterns& p = patterns();
  std::string s = p.image.replaceAllWithGroup(text, 1);
  s = p.link.replaceAllWithGroup(s, 1);
  s = p.bareURL.replaceAll(s, [](const Regex::Match& m) { return spokenURL(m.group(0)); });
  s = p.inlineCode.replaceAll(s, [](const Regex::Match& m) { return speakCode(m.group(1)); });
  s = p.bold.replaceAllWithGroup(s, 2);
  s = p.strikethrough.replaceAllWithGroup(s, 1);
  s = p.italic.replaceAllWithGroup(s, 2);
  s = dropSymbols(s);

  std::string spoken;
  spoken.reserve(s.size());
  for (const std::string_view piece : splitDroppingEmpty(s, " ")) {
    if (!spoken.empty())
      spoken += ' ';
    spoken += isPathLike(piece) ? speakCode(piece) : speakWord(piece);
  }
  return collapseWhitespace(spoken);
}

std::string joinList(const std::vector<std::string>& items) {
  std::vector<std::string_view> kept;
  for (const std::string& item : items) {
    if (!item.empty())
      kept.push_back(item);
  }
  switch (kept.size()) {
    case 0:
      return {};
    case 1:
      return std::string(kept[0]);
    case 2:
      return std::string(kept[0]) + " and " + std::string(kept[1]);
    default: {
      const std::string_view last = kept.back();
      kept.pop_back();
      return join(kept, ", ") + ", and " + std::string(last);
    }
  }
}

// ---- blocks ------------------------------------------------------------------

bool isDiff(const markdown::Fence& fence, std::string_view lowerLanguage) {
  if (lowerLanguage == "diff" || lowerLanguage == "patch")
    return true;
  if (fence.lines.size() < 2)
    return false;
  const auto changed = std::count_if(fence.lines.begin(), fence.lines.end(), [](const auto& line) {
    return line.starts_with('+') || line.starts_with('-') || line.starts_with("@@");
  });
  return static_cast<std::size_t>(changed) * 2 > fence.lines.size();
}

struct BlockSpeech {
  std::string operator()(const markdown::Paragraph& p) const { return inlineSpeech(p.text); }

  std::string operator()(const markdown::Heading& h) const {
    std::string s = inlineSpeech(h.text);
    if (!s.empty() && !endsWithAny(s, ".!?:"))
      s += '.';
    return s;
  }

  std::string operator()(const markdown::List& list) const {
    std::vector<std::string> items;
    for (const std::string& item : list.items) {
      std::string s = inlineSpeech(item);
      if (!s.empty())
        items.push_back(std::move(s));
    }
    if (items.empty())
      return {};
    if (items.size() <= 6) {
      std::string s = joinList(items);
      if (!endsWithAny(s, ".!?"))
        s += '.';
      return s;
    }
    const std::size_t count = items.size();
    items.resize(3);
    return numberWord(count) + " items, first three are: " + joinList(items) + ".";
  }

  std::string operator()(const markdown::Table& table) const {
    if (table.rows == 1)
      return "a table with one row.";
    return "a table with " + numberWord(table.rows) + " rows.";
  }

  std::string operator()(const markdown::Fence& fence) const {
    const std::string lower = text::lowercased(fence.language);
    if (isDiff(fence, lower))
      return {};
    std::string_view language = fence.language;
    for (const auto& [key, name] : kLanguageNames) {
      if (lower == key) {
        language = name;
        break;
      }
    }
    std::string s = "a " + numberWord(fence.lines.size()) + "-line ";
    s += language.empty() ? "code"sv : language;
    s += " snippet.";
    return s;
  }
};

}  // namespace

std::string spokenWords(const std::vector<markdown::Block>& blocks) {
  std::vector<std::string> parts;
  for (const markdown::Block& block : blocks) {
    std::string s = std::visit(BlockSpeech{}, block);
    if (!s.empty())
      parts.push_back(std::move(s));
  }
  return collapseWhitespace(join(parts, " "));
}

}  // namespace parley::narration
