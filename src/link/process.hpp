#pragma once

// Running a helper program (the Tailscale command line) the safe way: started
// directly with an argument vector, never through a shell, with its standard
// output and standard error read concurrently so neither pipe can fill up and
// stall it.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace parley::link::detail {

struct ProcessResult {
  int exitCode = 0;    // meaningful when signal is 0
  int signal = 0;      // the signal that ended the process, or 0
  std::string output;  // standard output
  std::string error;   // standard error
};

// Runs `program` with `arguments` (argv[1...]) and standard input from
// /dev/null, and waits for it. Throws std::system_error when it cannot be
// started.
ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments);

bool isExecutableFile(const std::filesystem::path& path);

// The first executable `name` in the directories of $PATH.
std::optional<std::filesystem::path> findOnPath(const std::string& name);

// Replaces every invalid UTF-8 sequence with U+FFFD, so a child's bytes can
// be shown and carried in JSON.
std::string sanitizeUtf8(std::string_view bytes);

}  // namespace parley::link::detail
