#pragma once

// Real stand-ins for the machine state the terminal layer reads: background
// processes, a synthetic process table, a synthetic ~/.claude.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace parley::terminal_test {

// A program running in the background for the life of the object, started
// directly with exactly `env` as its environment; killed and reaped at the
// end.
class Spawned {
 public:
  Spawned(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~Spawned();
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  pid_t pid() const { return pid_; }
  // Kills and reaps the process now.
  void stop();

 private:
  pid_t pid_ = -1;
};

// The pid of a process that has exited and been reaped.
pid_t deadPid();

// A process table in a directory, laid out like /proc: PID/comm,
// PID/environ (NUL-separated), PID/cwd (a symbolic link).
class FakeProcRoot {
 public:
  explicit FakeProcRoot(std::filesystem::path root) : root_(std::move(root)) {}
  const std::filesystem::path& path() const { return root_; }

  void add(pid_t pid, const std::string& comm, const std::vector<std::string>& environ,
           const std::optional<std::filesystem::path>& cwd = std::nullopt) const;
  void remove(pid_t pid) const;

 private:
  std::filesystem::path root_;
};

// TMUX as tmux sets it for a pane of the server at `socket`.
std::string tmuxEnvFor(const std::filesystem::path& socket);

// Writes <home>/.claude/sessions/<pid>.json.
void writeSessionFile(const std::filesystem::path& home, pid_t pid,
                      const boost::json::object& body);
void removeSessionFile(const std::filesystem::path& home, pid_t pid);

// The test programs built beside the tests.
std::filesystem::path inputBoxStub();

}  // namespace parley::terminal_test
