#include "app/hooks_command.hpp"

#include <algorithm>
#include <ostream>

#include "app/hook_setup.hpp"

namespace parley::app {

namespace {

// What succeeded goes to standard output, what failed to standard error.
SetupReport printTo(std::ostream& out, std::ostream& err) {
  return [&out, &err](LogEntry::Kind kind, const std::string& line) {
    (kind == LogEntry::Kind::error ? err : out) << line << '\n';
  };
}

int status(std::ostream& out) {
  const HookSetupStatus s = hookStatus();
  out << "relay: " << s.relayPath.string() << (s.relayInstalled ? " (installed)" : " (missing)")
      << '\n';
  out << "settings: " << s.settingsPath.string() << '\n';
  if (s.detail.problem)
    out << "problem: " << *s.detail.problem << '\n';
  const auto& events = claude::HookInstaller::events;
  out << "hooks: " << (s.hookInstalled ? "installed" : "not installed") << " ("
      << s.detail.eventsWithRelay.size() << " of " << events.size() << " events)\n";
  for (const std::string_view event : events) {
    const auto& with = s.detail.eventsWithRelay;
    const bool present = std::find(with.begin(), with.end(), event) != with.end();
    out << "  " << event << ": " << (present ? "yes" : "no") << '\n';
  }
  return s.relayInstalled && s.hookInstalled ? 0 : 1;
}

}  // namespace

int runHooksCommand(HooksAction action, std::ostream& out, std::ostream& err,
                    const std::filesystem::path& executableDirectory) {
  switch (action) {
    case HooksAction::install:
      return installHooks(executableDirectory, printTo(out, err)).ok ? 0 : 1;
    case HooksAction::uninstall:
      return uninstallHooks(printTo(out, err)).ok ? 0 : 1;
    case HooksAction::status:
      return status(out);
  }
  return 1;
}

}  // namespace parley::app
