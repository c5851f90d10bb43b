#pragma once

// Reading and replacing the small JSON files the phone link owns
// (devices.json, preferences.json). A damaged file reads as holding nothing,
// but it is never silently overwritten: the writer sets it aside first.

#include <boost/json.hpp>
#include <filesystem>
#include <optional>
#include <string_view>

namespace parley::link::detail {

struct JsonFile {
  std::optional<boost::json::value> value;  // absent for a missing or empty file
  bool damaged = false;                     // the file held something that did not parse
};

// Read failures other than absence throw base::FileError; so does a file
// that is not regular or is larger than base::kMaxFileBytes, which is left
// as it stands (never set aside or replaced).
JsonFile readJsonFile(const std::filesystem::path& path);

// Renames a damaged file to "NAME.corrupt-YYYYmmddTHHMMSSZ" (with a counter
// when that exists) so its content survives the rewrite. Returns the new
// name.
std::filesystem::path setAside(const std::filesystem::path& path);

// Creates the directory (0700) and replaces the file atomically with mode 0600.
void writeJsonFile(const std::filesystem::path& path, std::string_view text);

}  // namespace parley::link::detail
