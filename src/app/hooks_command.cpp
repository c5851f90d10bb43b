#include "app/hooks_command.hpp"

#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "base/files.hpp"
#include "claude/hook_installer.hpp"

namespace parley::app {

namespace {

using claude::HookInstaller;

bool isExecutableFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// Puts the relay at its installed path. A copy beside a running relay is
// swapped in by rename, so a hook starting at that moment runs either the old
// file or the new one, never a half-written one. Returns false when there is
// no relay to copy.
bool installRelay(const std::filesystem::path& source, const std::filesystem::path& destination) {
  const std::optional<std::string> bytes = base::readFileIfExists(source);
  if (!bytes)
    return false;
  base::createDirectories(destination.parent_path(), 0700);
  base::writeFileAtomically(destination, *bytes, 0755);
  return true;
}

void printBackup(std::ostream& out, const HookInstaller::Report& report) {
  if (report.backupURL)
    out << "backup written to " << report.backupURL->string() << '\n';
}

int install(std::ostream& out, std::ostream& err,
            const std::filesystem::path& executableDirectory) {
  const std::filesystem::path relayPath = HookInstaller::defaultRelayPath();
  try {
    if (!installRelay(executableDirectory / "parley-hook", relayPath)) {
      err << "parley-hook is not beside the parley executable \xE2\x80\x94 build it with "
             "`cmake --build --preset dev --target parley-hook` and copy it to "
          << relayPath.string() << '\n';
    }
  } catch (const std::exception& e) {
    err << "hook install refused: " << e.what() << '\n';
    return 1;
  }
  try {
    const HookInstaller::Report report = HookInstaller(relayPath.string()).install();
    out << "hooks installed: added " << report.eventsAdded.size() << ", already present "
        << report.alreadyPresent.size() << ", preserved " << report.preservedHandlers
        << " existing handlers\n";
    printBackup(out, report);
    return 0;
  } catch (const HookInstaller::InstallError& e) {
    err << "hook install refused: " << e.what() << '\n';
    return 1;
  }
}

int uninstall(std::ostream& out, std::ostream& err) {
  try {
    const HookInstaller::Report report =
        HookInstaller(HookInstaller::defaultRelayPath().string()).uninstall();
    out << "hooks removed from " << report.alreadyPresent.size() << " events\n";
    printBackup(out, report);
    return 0;
  } catch (const HookInstaller::InstallError& e) {
    err << "hook uninstall failed: " << e.what() << '\n';
    return 1;
  }
}

int status(std::ostream& out) {
  const std::filesystem::path relayPath = HookInstaller::defaultRelayPath();
  const HookInstaller installer(relayPath.string());
  const HookInstaller::Status status = installer.status();
  const bool relayInstalled = isExecutableFile(relayPath);
  const bool hooksInstalled = status.eventsWithRelay.size() == HookInstaller::events.size();

  out << "relay: " << relayPath.string() << (relayInstalled ? " (installed)" : " (missing)")
      << '\n';
  out << "settings: " << installer.settingsURL().string() << '\n';
  if (status.problem)
    out << "problem: " << *status.problem << '\n';
  out << "hooks: " << (hooksInstalled ? "installed" : "not installed") << " ("
      << status.eventsWithRelay.size() << " of " << HookInstaller::events.size() << " events)\n";
  for (const std::string_view event : HookInstaller::events) {
    const bool present = std::find(status.eventsWithRelay.begin(), status.eventsWithRelay.end(),
                                   event) != status.eventsWithRelay.end();
    out << "  " << event << ": " << (present ? "yes" : "no") << '\n';
  }
  return relayInstalled && hooksInstalled ? 0 : 1;
}

}  // namespace

std::filesystem::path currentExecutableDirectory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self.parent_path();
}

int runHooksCommand(HooksAction action, std::ostream& out, std::ostream& err,
                    const std::filesystem::path& executableDirectory) {
  switch (action) {
    case HooksAction::install:
      return install(out, err, executableDirectory);
    case HooksAction::uninstall:
      return uninstall(out, err);
    case HooksAction::status:
      return status(out);
  }
  return 1;
}

}  // namespace parley::app
