#pragma once

// Installing and removing the relay and its hook entries, as both the running
// application and `parley hooks` do it, with the same report lines.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/activity_log.hpp"
#include "claude/hook_installer.hpp"

namespace parley::app {

// One line of progress: `cmd` for what was done, `error` for what failed.
using SetupReport = std::function<void(LogEntry::Kind, const std::string&)>;

struct HookChange {
  bool ok = false;
  std::optional<std::filesystem::path> backup;
};

struct HookSetupStatus {
  std::filesystem::path relayPath;
  std::filesystem::path settingsPath;
  bool relayInstalled = false;  // an executable file at relayPath
  bool hookInstalled = false;   // the relay registered for every event
  claude::HookInstaller::Status detail;
};

// The directory of the running executable, where the build and the packages
// place parley-hook beside parley.
std::filesystem::path currentExecutableDirectory();

// Copies parley-hook from `executableDirectory` into place (mode 0755,
// swapped in by rename), then registers it in Claude Code's settings. A failed
// copy leaves the settings untouched; a missing relay is reported and the
// registration still runs.
HookChange installHooks(const std::filesystem::path& executableDirectory,
                        const SetupReport& report);
HookChange uninstallHooks(const SetupReport& report);
HookSetupStatus hookStatus();

}  // namespace parley::app
