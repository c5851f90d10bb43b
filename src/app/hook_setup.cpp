#include "app/hook_setup.hpp"

#include <algorithm>

#include "base/files.hpp"
#include "base/process.hpp"

namespace parley::app {

namespace {

using claude::HookInstaller;

// A copy beside a running relay is swapped in by rename, so a hook starting
// at that moment runs either the old file or the new one, never a half-written
// one. Returns false when there is no relay to copy.
bool installRelay(const std::filesystem::path& source, const std::filesystem::path& destination) {
  // A program, not a settings file: the bound is for a runaway source only.
  const std::optional<std::string> bytes = base::readFileIfExists(source, 256 * 1024 * 1024);
  if (!bytes)
    return false;
  base::createDirectories(destination.parent_path(), 0700);
  base::writeFileAtomically(destination, *bytes, 0755);
  return true;
}

bool isSystemInstalled(const std::filesystem::path& directory) {
  const std::string path = directory.lexically_normal().string();
  return path.starts_with("/usr/") || path.starts_with("/opt/");
}

// Every location a relay may have been registered from, besides `relayPath`.
std::vector<std::string> otherRelayPaths(const std::filesystem::path& relayPath,
                                         const std::filesystem::path& executableDirectory) {
  std::vector<std::string> others;
  for (const std::filesystem::path& candidate :
       {HookInstaller::defaultRelayPath(), std::filesystem::path("/usr/bin/parley-hook"),
        std::filesystem::path("/usr/local/bin/parley-hook"), relayPathFor(executableDirectory)}) {
    if (candidate != relayPath &&
        std::find(others.begin(), others.end(), candidate.string()) == others.end())
      others.push_back(candidate.string());
  }
  return others;
}

HookInstaller installerFor(const std::filesystem::path& executableDirectory) {
  const std::filesystem::path relayPath = relayPathFor(executableDirectory);
  return HookInstaller(relayPath.string(), HookInstaller::defaultSettingsPath(),
                       otherRelayPaths(relayPath, executableDirectory));
}

void reportBackup(const SetupReport& report, const HookInstaller::Report& result) {
  if (result.backupPath)
    report(LogEntry::Kind::cmd, "backup written to " + result.backupPath->string());
}

}  // namespace

std::filesystem::path currentExecutableDirectory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self.parent_path();
}

std::filesystem::path relayPathFor(const std::filesystem::path& executableDirectory) {
  if (!executableDirectory.empty() && isSystemInstalled(executableDirectory))
    return executableDirectory / "parley-hook";
  return HookInstaller::defaultRelayPath();
}

HookChange installHooks(const std::filesystem::path& executableDirectory,
                        const SetupReport& report) {
  const HookInstaller installer = installerFor(executableDirectory);
  const std::filesystem::path relayPath = installer.relayPath();
  const std::filesystem::path source = executableDirectory / "parley-hook";
  try {
    if (relayPath == source) {
      if (!base::isExecutableFile(relayPath))
        report(LogEntry::Kind::error, relayPath.string() +
                                          " is missing or not executable \u2014 reinstall the "
                                          "package that installed parley");
    } else if (!installRelay(source, relayPath)) {
      report(LogEntry::Kind::error,
             "parley-hook is not beside the parley executable \u2014 build it with "
             "`cmake --build --preset dev --target parley-hook` and copy it to " +
                 relayPath.string());
    }
  } catch (const std::exception& e) {
    report(LogEntry::Kind::error, std::string("hook install refused: ") + e.what());
    return {};
  }
  try {
    const HookInstaller::Report result = installer.install();
    report(LogEntry::Kind::cmd,
           "hooks installed: added " + std::to_string(result.eventsAdded.size()) +
               ", already present " + std::to_string(result.alreadyPresent.size()) +
               ", preserved " + std::to_string(result.preservedHandlers) + " existing handlers");
    reportBackup(report, result);
    return {true, result.backupPath};
  } catch (const std::exception& e) {
    report(LogEntry::Kind::error, std::string("hook install refused: ") + e.what());
    return {};
  }
}

HookChange uninstallHooks(const SetupReport& report) {
  try {
    const HookInstaller::Report result = installerFor(currentExecutableDirectory()).uninstall();
    report(LogEntry::Kind::cmd,
           "hooks removed from " + std::to_string(result.eventsRemoved.size()) + " events");
    reportBackup(report, result);
    return {true, result.backupPath};
  } catch (const std::exception& e) {
    report(LogEntry::Kind::error, std::string("hook uninstall failed: ") + e.what());
    return {};
  }
}

HookSetupStatus hookStatus(const std::filesystem::path& executableDirectory) {
  HookSetupStatus status;
  const HookInstaller installer = installerFor(executableDirectory);
  status.relayPath = installer.relayPath();
  status.settingsPath = installer.settingsPath();
  status.detail = installer.status();
  status.relayInstalled = base::isExecutableFile(status.relayPath);
  status.hookInstalled = status.detail.eventsWithRelay.size() == HookInstaller::events.size();
  return status;
}

}  // namespace parley::app
