#pragma once

// Sorts a tool call into a risk tier: destructive when its input matches a
// deny pattern or it touches a denied path (or, for a file-editing tool,
// anything outside the project), elevated for MCP tools and anything that
// may run code, low for reads and for edits inside the project. It
// classifies a string, not an effect: a blast-radius filter, not a sandbox.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/hook_payload.hpp"
#include "protocol/json_value.hpp"
#include "protocol/session.hpp"

namespace parley::narration {

class TierClassifier {
 public:
  // Some deny patterns take time quadratic in the text when it repeats their
  // prefix without the terminator they look ahead for (many "DELETE FROM"
  // and no ";"). A tool input whose flattened text is longer than this is
  // not screened but classified destructive, so a crafted input can neither
  // stall the caller nor pass unscreened.
  static constexpr std::size_t kMaxScreenedBytes = 256 * 1024;

  // The home directory comes from $HOME, else from the password database.
  explicit TierClassifier(std::string_view projectRoot);
  // With an explicit home directory, for callers (and tests) that know it.
  TierClassifier(std::string_view projectRoot, std::string homeDirectory);

  // The normalized project root. Only an absolute root contains anything:
  // an empty or relative one would otherwise put every path inside it.
  const std::string& projectRoot() const { return projectRoot_; }
  const std::string& homeDirectory() const { return home_; }

  // An absent input counts as an empty object. A deny pattern the regex
  // engine gives up on counts as matching.
  protocol::RiskTier classify(std::string_view toolName,
                              const std::optional<protocol::JSONValue>& toolInput) const;
  protocol::RiskTier classify(const protocol::HookPayload& payload) const;

  // Trims spaces and tabs, expands a leading "~" to the home directory,
  // collapses "//", drops "." and resolves ".." lexically (symbolic links are
  // not followed), and drops trailing slashes.
  std::string normalizePath(std::string_view path) const;
  // Whether an already normalized path is one of the denied directories or
  // lies below one, compared by whole path components.
  bool isDeniedPath(std::string_view normalizedPath) const;

  static std::string userHomeDirectory();

  // Lowers the regex engine's work bound per deny pattern (for tests of
  // what happens when it gives up; PCRE2's default otherwise).
  void setMatchLimit(std::uint32_t limit) { matchLimit_ = limit; }

 private:
  std::optional<std::uint32_t> matchLimit_;
  std::string home_;
  std::string projectRoot_;
  std::vector<std::string> deniedPaths_;
};

}  // namespace parley::narration
