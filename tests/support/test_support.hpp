#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace parley::test {

// Path of a file under tests/fixtures (the captures of real Claude Code runs).
std::filesystem::path fixturePath(const std::string& relative);

// Whole content of a file; fails the test when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Lines of a file, without their line feeds; empty lines are kept.
std::vector<std::string> readLines(const std::filesystem::path& path);

void writeFile(const std::filesystem::path& path, const std::string& content);

// Path of one of the project's own executables in the build tree.
std::filesystem::path binPath(const std::string& name);

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Polls `condition` until it holds or `timeout` passes; returns its last
// result. Tests wait for conditions with a deadline instead of sleeping.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds interval = std::chrono::milliseconds(5));

// Sets an environment variable for the life of the object and restores the
// previous value (or its absence) afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace parley::test
