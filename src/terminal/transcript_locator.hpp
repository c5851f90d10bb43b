#pragma once

// Where Claude Code keeps a session's transcript:
// ~/.claude/projects/<project directory>/<session id>.jsonl. The project
// directory's name is not derived from the working directory: every project
// directory is searched and the first match in listing order wins.

#include <filesystem>
#include <optional>
#include <string_view>

namespace parley::terminal {

class TranscriptLocator {
 public:
  explicit TranscriptLocator(std::filesystem::path projectsRoot);
  // <home>/.claude/projects
  static TranscriptLocator forHome(const std::filesystem::path& home);

  const std::filesystem::path& projectsRoot() const { return projectsRoot_; }

  // Nothing when the root cannot be listed, when no project holds the file,
  // or when the id could name a path outside a project directory (empty, ".",
  // "..", or containing "/" or NUL).
  std::optional<std::filesystem::path> transcript(std::string_view sessionID) const;

 private:
  std::filesystem::path projectsRoot_;
};

}  // namespace parley::terminal
