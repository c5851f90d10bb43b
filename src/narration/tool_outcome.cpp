#include "narration/tool_outcome.hpp"

#include <filesystem>

#include "narration/edit_diff.hpp"
#include "text/unicode.hpp"

namespace parley::narration {

namespace {

using protocol::JSONValue;

// A full diff is kept for the phone to read; it only has to fit the store.
constexpr std::size_t kMaxKeptDiff = 256 * 1024;

std::string responseText(const protocol::HookPayload& p) {
  if (!p.toolResponse)
    return p.message.value_or("");
  const JSONValue& r = *p.toolResponse;
  if (const std::string* s = r.stringValue())
    return *s;
  const std::string* out = r.string("stdout");
  const std::string* err = r.string("stderr");
  if (out || err) {
    std::string text = out ? *out : "";
    if (err && !err->empty())
      text += (text.empty() ? "" : "\n") + *err;
    return text;
  }
  return r.flattenedText();
}

}  // namespace

ToolOutcome toolOutcome(const protocol::HookPayload& p) {
  ToolOutcome o;
  const std::string tool = p.toolName.value_or("tool");
  o.ok = p.hookEventName != protocol::HookPayload::Event::postToolUseFailure;
  if (p.toolResponse) {
    if (auto interrupted = (*p.toolResponse)["interrupted"];
        interrupted && interrupted->boolValue())
      o.ok = o.ok && !*interrupted->boolValue();
  }

  const auto diff = o.ok ? EditDiff::forTool(tool, p.toolInput, kMaxKeptDiff) : std::nullopt;
  if (diff) {
    o.fullText = *diff;
    const std::string* path = p.toolInput ? p.toolInput->string("file_path") : nullptr;
    o.summary = (tool == "Write" ? "Wrote " : "Edited ") +
                (path ? std::filesystem::path(*path).filename().string() : "a file");
    o.truncated = true;
    return o;
  }

  o.fullText = responseText(p);
  const std::string_view all = text::trimmed(o.fullText);
  std::string_view first = all.substr(0, all.find('\n'));
  o.summary = std::string(text::characterPrefix(first, kMaxSummary));
  if (o.summary.empty())
    o.summary = o.ok ? tool + " done" : tool + " failed";
  o.truncated = o.summary.size() < all.size();
  if (o.summary.size() < first.size())
    o.summary += "\u2026";
  return o;
}

}  // namespace parley::narration
