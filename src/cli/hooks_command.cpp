#include "cli/hooks_command.hpp"

#include <algorithm>
#include <ostream>

#include "app/hook_setup.hpp"

namespace parley::cli {

namespace {

// What succeeded goes to standard output, what failed to standard error.
app::SetupReport printTo(std::ostream& out, std::ostream& err) {
  return [&out, &err](app::LogEntry::Kind kind, const std::string& line) {
    (kind == app::LogEntry::Kind::error ? err : out) << line << '\n';
  };
}

int status(std::ostream& out) {
  const app::HookSetupStatus s = app::hookStatus();
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
      return app::installHooks(executableDirectory, printTo(out, err)).ok ? 0 : 1;
    case HooksAction::uninstall:
      return app::uninstallHooks(printTo(out, err)).ok ? 0 : 1;
    case HooksAction::status:
      return status(out);
  }
  return 1;
}

}  // namespace parley::cli
