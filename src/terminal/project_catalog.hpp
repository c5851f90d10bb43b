#pragma once

// The projects a session can be started in from the phone, and the past
// sessions of each, read from Claude Code's own records: its transcripts
// (~/.claude/projects/<folder>/<session id>.jsonl, whose records carry the
// working directory; the folder name is a lossy encoding of it and is never
// decoded) and its project list in ~/.claude.json, which also says which
// folders the person trusted at the desk. Live sessions add their working
// directories.
//
// A project is named to the phone by an id made from its path, and a past
// session by Claude Code's session id; both are resolved here by listing
// again, so what the phone sends back is only ever looked up, never used as
// a path. A record that cannot be read is skipped and logged.
//
// Reads files and blocks: call it off the threads that must stay free.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/projects.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::terminal {

class ProjectCatalog {
 public:
  struct Limits {
    std::size_t projects = 60;
    std::size_t pageSize = 20;
    std::size_t promptCharacters = 80;
  };

  // A past session found by its id.
  struct Past {
    std::string historyID;
    std::filesystem::path cwd;
    std::filesystem::path transcript;
  };

  explicit ProjectCatalog(std::filesystem::path home,
                          std::function<void(const std::string&)> log = {});
  ProjectCatalog(std::filesystem::path home, std::function<void(const std::string&)> log,
                 Limits limits);

  // Newest activity first; projects with no known activity last, by path.
  std::vector<protocol::ProjectInfo> projects(
      const std::vector<protocol::SessionDescriptor>& live) const;
  // The folder a listed project's id names.
  std::optional<std::filesystem::path> projectPath(
      std::string_view projectID, const std::vector<protocol::SessionDescriptor>& live) const;
  // One page of the project's past sessions, newest first; nothing for an
  // id that names no listed project.
  std::optional<protocol::History> history(
      std::string_view projectID, std::int64_t offset,
      const std::vector<protocol::SessionDescriptor>& live) const;
  std::optional<Past> past(std::string_view historyID) const;
  // ~/.claude.json says the person accepted Claude Code's trust dialog for
  // exactly this folder.
  bool trusted(const std::filesystem::path& folder) const;

  static std::string projectID(const std::filesystem::path& folder);

 private:
  struct Transcript {
    std::string historyID;
    std::filesystem::path file;
    std::filesystem::path cwd;
    protocol::Date modified;
  };
  struct Summary {
    std::int64_t turns = 0;
    std::string firstPrompt;
  };

  std::vector<Transcript> transcripts() const;
  std::optional<std::filesystem::path> cwdOf(const std::filesystem::path& file) const;
  Summary summarise(const std::filesystem::path& file) const;
  // The "projects" object of ~/.claude.json, or nothing.
  std::optional<boost::json::object> claudeProjects() const;
  void log(const std::string& line) const;

  std::filesystem::path home_;
  std::function<void(const std::string&)> log_;
  Limits limits_;
};

}  // namespace parley::terminal
