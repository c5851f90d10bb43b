#pragma once

// Starting the project's own executables as real processes, with a chosen
// environment, stdin and captured output.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.hpp"

extern char** environ;

namespace parley::test {

// The current environment with `changes` applied; a nullopt value removes
// the variable.
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!changes.contains(entry.substr(0, entry.find('='))))
      result.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value)
      result.push_back(name + "=" + *value);
  }
  return result;
}

struct Spawn {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  // stdin: a file to read, or a descriptor to duplicate; /dev/null otherwise.
  std::optional<std::filesystem::path> stdinFile;
  int stdinFd = -1;
  std::optional<std::filesystem::path> stdoutFile;
  int stdoutFd = -1;  // wins over stdoutFile
  std::optional<std::filesystem::path> stderrFile;
};

inline pid_t spawnProcess(const Spawn& launch) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.stdinFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, launch.stdinFd, 0);
  else
    posix_spawn_file_actions_addopen(
        &actions, 0, launch.stdinFile ? launch.stdinFile->c_str() : "/dev/null", O_RDONLY, 0);
  if (launch.stdoutFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, launch.stdoutFd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1,
                                     launch.stdoutFile ? launch.stdoutFile->c_str() : "/dev/null",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2,
                                   launch.stderrFile ? launch.stderrFile->c_str() : "/dev/null",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv, env;
  for (const std::string& a : launch.argv)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : launch.env)
    env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The exit code once the process ends within the timeout; -1 when it is
// killed by a signal; nullopt when it is still running at the deadline.
inline std::optional<int> waitForExit(
    pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  int status = 0;
  bool exited = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout,
                          std::chrono::milliseconds(2));
  if (!exited)
    return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Completed {
  std::optional<int> exitCode;
  std::string out;
  std::string err;
};

// Runs a process to its end, capturing stdout and stderr through files in
// `scratch`.
inline Completed runProcess(Spawn launch, const std::filesystem::path& scratch) {
  launch.stdoutFile = scratch / "stdout";
  launch.stderrFile = scratch / "stderr";
  const pid_t pid = spawnProcess(launch);
  if (pid < 0)
    return {};
  Completed result;
  result.exitCode = waitForExit(pid);
  result.out = readFile(scratch / "stdout");
  result.err = readFile(scratch / "stderr");
  return result;
}

}  // namespace parley::test
