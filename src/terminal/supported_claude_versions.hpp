#pragma once

// The Claude Code versions whose terminal interface (dialogs, input line)
// this layer knows how to drive. Sessions of other versions are still found
// and narrated, but nothing is typed into them.

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace parley::terminal::SupportedClaudeVersions {

const std::set<std::string, std::less<>>& tested();

// False for an absent version; otherwise exact membership.
bool isSupported(const std::optional<std::string>& version);

}  // namespace parley::terminal::SupportedClaudeVersions
