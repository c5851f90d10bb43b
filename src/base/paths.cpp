#include "base/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace parley::base {

namespace {

// An XDG base directory variable counts only when it holds an absolute path.
std::filesystem::path xdgDirectory(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/')
    return std::filesystem::path(value);
  return homeDirectory() / fallback;
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
    return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return "/";
}

std::filesystem::path dataDirectory() {
  return xdgDirectory("XDG_DATA_HOME", ".local/share") / "parley";
}

std::filesystem::path configDirectory() {
  return xdgDirectory("XDG_CONFIG_HOME", ".config") / "parley";
}

std::filesystem::path cacheDirectory() {
  return xdgDirectory("XDG_CACHE_HOME", ".cache") / "parley";
}

std::filesystem::path hookSocketPath() {
  if (const char* value = std::getenv("PARLEY_SOCKET"))
    return value;
  return dataDirectory() / "hook.sock";
}

}  // namespace parley::base
