#include "terminal/transcript_locator.hpp"

#include <string>

namespace parley::terminal {

TranscriptLocator::TranscriptLocator(std::filesystem::path projectsRoot)
    : projectsRoot_(std::move(projectsRoot)) {}

TranscriptLocator TranscriptLocator::forHome(const std::filesystem::path& home) {
  return TranscriptLocator(home / ".claude" / "projects");
}

std::optional<std::filesystem::path> TranscriptLocator::transcript(
    std::string_view sessionID) const {
  // Session ids also arrive in hook lines; one must never steer the lookup
  // to another directory.
  if (sessionID.empty() || sessionID == "." || sessionID == ".." ||
      sessionID.find('/') != std::string_view::npos ||
      sessionID.find('\0') != std::string_view::npos)
    return std::nullopt;
  const std::string fileName = std::string(sessionID) + ".jsonl";
  std::error_code ec;
  std::filesystem::directory_iterator it(projectsRoot_, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path candidate = it->path() / fileName;
    std::error_code statError;
    if (std::filesystem::is_regular_file(candidate, statError))
      return candidate;
  }
  return std::nullopt;
}

}  // namespace parley::terminal
