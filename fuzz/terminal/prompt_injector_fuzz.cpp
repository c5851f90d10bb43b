// Feeds arbitrary captures to the input-box reader, and arbitrary texts to
// the read-back check. The box's text is valid UTF-8 with no white space at
// its ends; pasting normalises once and for all; and a box that shows the
// pasted text, whether whole, wrapped at any width, or collapsed the way
// Claude Code collapses long pastes, always reads back as that paste, while
// an empty box, a bare ellipsis or a wrong line count never does.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/prompt_injector.hpp"
#include "terminal/screen_lines.hpp"
#include "text/unicode.hpp"

using namespace parley;
using terminal::PromptInjector;

namespace {

constexpr std::string_view kBoxMarker = "❯\u00a0";
const std::string kBorder = "──────────";

// A screen with the input box showing `rows`, as Claude Code draws it.
std::string screenWithBox(const std::vector<std::string>& rows) {
  std::string screen = "● earlier answer\n" + kBorder + "\n";
  for (std::size_t i = 0; i < rows.size(); ++i)
    screen += (i == 0 ? std::string(kBoxMarker) : std::string("  ")) + rows[i] + "\n";
  return screen + kBorder + "\n  ? for shortcuts\n";
}

// Rows the box reader could take for something else: a border, or a row
// that starts another box.
bool ambiguous(const std::vector<std::string>& rows) {
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::string_view row = text::trimmedSpacesAndTabs(rows[i]);
    if (row.starts_with(kBoxMarker) || terminal::screen::isBorderLine(row))
      return true;
  }
  return false;
}

// The paste's lines, each cut into rows of at most `width` characters.
std::vector<std::string> wrapped(std::string_view pasted, std::size_t width) {
  std::vector<std::string> rows;
  for (const std::string_view line : text::split(pasted, "\n")) {
    const std::vector<std::string_view> characters = text::characterTexts(line);
    if (characters.empty())
      rows.emplace_back();
    for (std::size_t at = 0; at < characters.size(); at += width) {
      std::string row;
      for (std::size_t k = at; k < std::min(characters.size(), at + width); ++k)
        row += characters[k];
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

// The text without any white space: what no box layout can change.
std::string compact(std::string_view text) {
  std::string out;
  for (const std::string_view word : text::splitWhitespace(text))
    out += word;
  return out;
}

void expectReadBack(const std::string& pasted, const std::vector<std::string>& rows, bool matches) {
  if (ambiguous(rows))
    return;
  const std::optional<std::string> box = PromptInjector::inputBox(screenWithBox(rows));
  if (!box || PromptInjector::readBackMatches(pasted, *box) != matches)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view capture(reinterpret_cast<const char*>(data), size);
  if (const auto box = PromptInjector::inputBox(capture)) {
    if (!text::isValidUtf8(*box) || text::trimmed(*box) != *box ||
        box->find('\x1b') != std::string::npos)
      std::abort();
  }

  FuzzedDataProvider provider(data, size);
  const std::size_t width = provider.ConsumeIntegralInRange<std::size_t>(1, 80);
  std::string typed = text::toValidUtf8(provider.ConsumeRemainingBytesAsString());
  std::erase(typed, '\x1b');
  const std::string pasted = PromptInjector::pasteForm(typed);
  if (PromptInjector::pasteForm(pasted) != pasted || pasted.find('\r') != std::string::npos ||
      text::trimmed(pasted) != pasted)
    std::abort();
  if (pasted.empty())
    return 0;

  expectReadBack(pasted, wrapped(pasted, 1000000), true);
  expectReadBack(pasted, wrapped(pasted, width), true);
  expectReadBack(pasted, {""}, false);
  // A box showing some other text matches only when the paste is that text.
  const std::string shown = compact(pasted);
  expectReadBack(pasted, {"…"}, shown == "…");

  const auto lineFeeds = std::count(pasted.begin(), pasted.end(), '\n');
  const std::string lines = lineFeeds > 0 ? " +" + std::to_string(lineFeeds) + " lines" : "";
  const std::string collapsed = "[Pasted text #7" + lines + "]";
  const bool collapses = PromptInjector::pasteCollapses(pasted);
  expectReadBack(pasted, {collapsed}, collapses || shown == compact(collapsed));
  const std::string miscounted = "[Pasted text #7 +" + std::to_string(lineFeeds + 1) + " lines]";
  expectReadBack(pasted, {miscounted}, shown == compact(miscounted));
  return 0;
}
