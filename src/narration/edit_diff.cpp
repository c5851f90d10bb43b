#include "narration/edit_diff.hpp"

#include <algorithm>
#include <vector>

#include "text/unicode.hpp"

namespace parley::narration::EditDiff {

namespace {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl + 1);
  }
  return lines;
}

// Past this many cells the longest common subsequence is not worth its
// memory: the whole old text is shown removed and the new one added.
constexpr std::size_t kMaxTableCells = 4'000'000;

struct Line {
  char mark;
  std::string_view text;
};

std::vector<Line> diffLines(const std::vector<std::string_view>& a,
                            const std::vector<std::string_view>& b) {
  // Common head and tail first: an edit usually changes a few lines in the
  // middle of a fragment.
  std::size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head])
    ++head;
  std::size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
    ++tail;
  const std::size_t n = a.size() - head - tail;
  const std::size_t m = b.size() - head - tail;

  std::vector<Line> out;
  for (std::size_t i = 0; i < head; ++i)
    out.push_back({' ', a[i]});
  if (n * m > kMaxTableCells || n == 0 || m == 0) {
    for (std::size_t i = 0; i < n; ++i)
      out.push_back({'-', a[head + i]});
    for (std::size_t j = 0; j < m; ++j)
      out.push_back({'+', b[head + j]});
  } else {
    // lcs[i][j]: the common subsequence of a[i..] and b[j..].
    std::vector<std::uint32_t> lcs((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return lcs[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;)
      for (std::size_t j = m; j-- > 0;)
        at(i, j) = a[head + i] == b[head + j] ? at(i + 1, j + 1) + 1
                                              : std::max(at(i + 1, j), at(i, j + 1));
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && a[head + i] == b[head + j]) {
        out.push_back({' ', a[head + i]});
        ++i, ++j;
      } else if (i < n && (j == m || at(i + 1, j) >= at(i, j + 1))) {
        out.push_back({'-', a[head + i++]});
      } else {
        out.push_back({'+', b[head + j++]});
      }
    }
  }
  for (std::size_t k = a.size() - tail; k < a.size(); ++k)
    out.push_back({' ', a[k]});
  return out;
}

// Appended piece by piece: GCC 12 misreads `"," + std::string` at -O3 as an
// overlapping copy.
std::string hunkRange(std::size_t count) {
  std::string range(count == 0 ? "0" : "1");
  if (count != 1) {
    range += ',';
    range += std::to_string(count);
  }
  return range;
}

}  // namespace

std::string between(std::string_view path, std::string_view before, std::string_view after,
                    std::size_t maxBytes) {
  if (before == after)
    return {};
  const auto a = splitLines(before);
  const auto b = splitLines(after);
  const std::vector<Line> lines = diffLines(a, b);

  std::string out = "--- " + std::string(path) + "\n+++ " + std::string(path) + "\n@@ -" +
                    hunkRange(a.size()) + " +" + hunkRange(b.size()) + " @@\n";
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::size_t need = lines[k].text.size() + 2;
    if (out.size() + need > maxBytes) {
      // Whole lines only: a cut line would read as a change it is not.
      out += "\u2026 " + std::to_string(lines.size() - k) + " more lines\n";
      break;
    }
    out += lines[k].mark;
    out += lines[k].text;
    out += '\n';
  }
  return out;
}

bool isFileTool(std::string_view toolName) {
  return toolName == "Edit" || toolName == "MultiEdit" || toolName == "Write" ||
         toolName == "NotebookEdit";
}

std::optional<std::string> forTool(std::string_view toolName,
                                   const std::optional<protocol::JSONValue>& toolInput,
                                   std::size_t maxBytes) {
  if (!toolInput)
    return std::nullopt;
  const std::string* path = toolInput->string("file_path");
  if (path == nullptr)
    path = toolInput->string("notebook_path");
  if (path == nullptr)
    return std::nullopt;
  auto text = [&](const protocol::JSONValue& v, std::string_view key) {
    const std::string* s = v.string(key);
    return s ? std::string_view(*s) : std::string_view();
  };
  if (toolName == "Edit")
    return between(*path, text(*toolInput, "old_string"), text(*toolInput, "new_string"), maxBytes);
  if (toolName == "Write")
    return between(*path, {}, text(*toolInput, "content"), maxBytes);
  if (toolName == "NotebookEdit")
    return between(*path, {}, text(*toolInput, "new_source"), maxBytes);
  if (toolName == "MultiEdit") {
    std::string out;
    const protocol::JSONValue* edits = (*toolInput)["edits"];
    if (edits == nullptr || edits->arrayValue() == nullptr)
      return std::nullopt;
    for (const protocol::JSONValue& e : *edits->arrayValue()) {
      if (out.size() >= maxBytes)
        break;
      out += between(*path, text(e, "old_string"), text(e, "new_string"), maxBytes - out.size());
    }
    return out;
  }
  return std::nullopt;
}

}  // namespace parley::narration::EditDiff
