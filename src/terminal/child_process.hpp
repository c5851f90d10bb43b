#pragma once

// Runs a program directly (never through a shell) and collects everything it
// writes. Standard output and standard error are drained together, and the
// standard-input data is written at the same time, so a child that fills one
// pipe while we wait on another can never stall either side.

#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace parley::terminal {

struct ChildResult {
  // The exit status, or 128 + the signal number when a signal ended the child
  // (the shell's convention).
  int status = -1;
  std::string out;  // raw bytes
  std::string err;  // raw bytes
};

// Starts `executable` with `arguments` (argv[1..]; argv[0] is the executable
// path) in the current environment. Without `input`, standard input is
// /dev/null, so a child can never read the application's own standard input.
// Throws std::system_error when the program cannot be started (missing, not
// executable); a non-zero exit is a result, not an error.
ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments,
                     const std::optional<std::string>& input = std::nullopt);

}  // namespace parley::terminal
