#pragma once

// A changed file of a session's project, as the phone lists it and asks for
// its diff: the request names the file by its path and area, and both
// answers describe it with this record.

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/wire_coding.hpp"

namespace parley::protocol {

struct ChangedFile {
  // Where the change sits, as `git status` groups it: a file staged and
  // then edited again is listed once in each of the first two.
  enum class Area { staged, unstaged, untracked };
  enum class Change { added, modified, deleted, renamed, typeChanged };
  std::string path;                    // from the repository's top, the new path of a rename
  std::optional<std::string> oldPath;  // a rename's former path
  Area area = Area::unstaged;
  Change change = Change::modified;
  std::int64_t added = 0;  // lines; 0 and 0 for a binary file
  std::int64_t removed = 0;
  bool binary = false;
  PARLEY_WIRE_RECORD(ChangedFile);
};

template <>
struct EnumNames<ChangedFile::Area> {
  static constexpr std::array<std::string_view, 3> names{"staged", "unstaged", "untracked"};
};

template <>
struct EnumNames<ChangedFile::Change> {
  static constexpr std::array<std::string_view, 5> names{"added", "modified", "deleted", "renamed",
                                                         "typeChanged"};
};

}  // namespace parley::protocol
