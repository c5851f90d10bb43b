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

// The relay the hooks run for an executable in `executableDirectory`. One
// installed by a package or an administrator (under /usr or /opt) runs where
// it is, so an upgrade replaces it together with the application; one in a
// build tree, which is rebuilt and deleted, is copied into the data
// directory first.
std::filesystem::path relayPathFor(const std::filesystem::path& executableDirectory);

// Puts the relay in place when it is copied (mode 0755, swapped in by
// rename), then registers it in Claude Code's settings, replacing entries for
// the relay's other location. A failed copy leaves the settings untouched; a
// missing relay is reported and the registration still runs.
HookChange installHooks(const std::filesystem::path& executableDirectory,
                        const SetupReport& report);
// Removes the relay's entries, wherever it ran from.
HookChange uninstallHooks(const SetupReport& report);
HookSetupStatus hookStatus(
    const std::filesystem::path& executableDirectory = currentExecutableDirectory());

}  // namespace parley::app
