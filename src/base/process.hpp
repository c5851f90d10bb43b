#pragma once

// Running a helper program (tmux, the Tailscale command line) the safe way:
// started directly with an argument vector, never through a shell, with its
// standard output and standard error drained together while its standard
// input is written, so a child that fills one pipe while we wait on another
// can never stall either side.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::base {

struct ProcessResult {
  // The exit status, or 128 + the signal number when a signal ended the
  // child (the shell's convention).
  int status = -1;
  // The signal that ended the child, or 0 when it exited; tells exit 137
  // from SIGKILL.
  int signal = 0;
  std::string out;  // standard output, raw bytes
  std::string err;  // standard error, raw bytes

  bool ok() const { return status == 0; }
};

struct ProcessOptions {
  // Written to the child's standard input, which is otherwise /dev/null so a
  // child can never read the application's own standard input.
  std::optional<std::string> input;
  // Exactly these "NAME=value" entries; this process's environment when
  // absent.
  std::optional<std::vector<std::string>> environment;
};

// Runs `program` with `arguments` (argv[1...]; argv[0] is the program path)
// and waits for it. Throws std::system_error when it cannot be started
// (missing, not executable, a bad interpreter line) or reaped; a non-zero
// exit is a result, not an error. A child that stops reading its input
// early never raises SIGPIPE here.
ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// A regular file that this process may execute.
bool isExecutableFile(const std::filesystem::path& path);

// The first executable `name` in the directories of `searchPath`
// (colon-separated, like $PATH). Empty and relative entries are skipped:
// they name the working directory, which is arbitrary for a desktop
// application.
std::optional<std::filesystem::path> findExecutable(std::string_view name,
                                                    std::string_view searchPath);
// The same in $PATH; nothing when PATH is unset.
std::optional<std::filesystem::path> findExecutable(std::string_view name);

}  // namespace parley::base
