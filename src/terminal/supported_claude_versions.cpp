#include "terminal/supported_claude_versions.hpp"

namespace parley::terminal::SupportedClaudeVersions {

const std::set<std::string, std::less<>>& tested() {
  static const std::set<std::string, std::less<>> versions{"2.1.220", "2.1.221", "2.1.222"};
  return versions;
}

bool isSupported(const std::optional<std::string>& version) {
  return version && tested().contains(*version);
}

}  // namespace parley::terminal::SupportedClaudeVersions
