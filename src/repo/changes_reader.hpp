#pragma once

// What a session's project has changed in Git, for the phone: the changed
// files with their line counts, and one file's diff.
//
// Read with libgit2, not the git program: a repository's own configuration
// can make the program run commands of its choosing (core.fsmonitor, filter
// and diff drivers), and `git status` rewrites the index while the agent may
// be using it. libgit2 runs no outside program and, without being asked to,
// writes nothing: these reads never change the repository.
//
// Calls block on the file system for as long as the working tree takes to
// scan; run them off any thread that others wait on.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "protocol/server_messages.hpp"

namespace parley::repo {

// A repository that could not be read, or a file that is not among its
// changes; what() is the text the phone is shown.
class ReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Bounds {
  std::size_t files = 1000;            // files listed; the rest are counted
  std::size_t diffBytes = 256 * 1024;  // of one file's diff text
};

// The changes of the repository whose working tree holds `folder` (its top
// or any folder inside it), without a session id. A folder in no repository,
// or in a bare one, answers with repository false. Throws ReadError when
// the repository is there but cannot be read.
protocol::Changes readChanges(const std::filesystem::path& folder, const Bounds& bounds = {});

// The diff of the file listed under `path` in `area` of readChanges' answer,
// without a session id. The path is only ever compared with the paths the
// repository lists, never opened as given. Throws ReadError when there is
// no repository or no such changed file.
protocol::FileDiff readFileDiff(const std::filesystem::path& folder, const std::string& path,
                                protocol::ChangedFile::Area area, const Bounds& bounds = {});

}  // namespace parley::repo
