#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace parley::terminal {

// The whole content of a file, or nothing when it cannot be opened or read
// (missing, a directory, permission denied, a process that vanished).
// Works for /proc files, whose size reads as 0.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

}  // namespace parley::terminal
