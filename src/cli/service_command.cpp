#include "cli/service_command.hpp"

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "base/files.hpp"
#include "base/paths.hpp"
#include "base/process.hpp"
#include "parley_service_unit.hpp"

namespace parley::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUnitName = "parley.service";
constexpr std::string_view kPlaceholder = "@PARLEY_SERVICE_EXECUTABLE@";

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::string firstLine(const std::string& text) {
  return trimmed(text.substr(0, text.find('\n')));
}

// One word of an ExecStart line: systemd reads C escapes inside double
// quotes, and expands % specifiers and $ variables everywhere.
std::string unitWord(const std::string& word) {
  std::string quoted = "\"";
  for (const char c : word) {
    if (c == '"' || c == '\\')
      quoted += '\\';
    if (c == '%' || c == '$')
      quoted += c;
    quoted += c;
  }
  return quoted + "\"";
}

fs::path userUnitPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const fs::path base =
      config != nullptr && config[0] == '/' ? fs::path(config) : base::homeDirectory() / ".config";
  return base / "systemd" / "user" / std::string(kUnitName);
}

// The unit a package or `cmake --install` put beside this executable, in a
// directory the user's systemd reads.
std::optional<fs::path> packagedUnit(const fs::path& executable) {
  const fs::path bin = executable.parent_path();
  if (bin != "/usr/bin" && bin != "/usr/local/bin")
    return std::nullopt;
  const fs::path unit = bin.parent_path() / "lib" / "systemd" / "user" / std::string(kUnitName);
  std::error_code ignored;
  return fs::is_regular_file(unit, ignored) ? std::optional(unit) : std::nullopt;
}

class Systemctl {
 public:
  explicit Systemctl(fs::path program) : program_(std::move(program)) {}

  base::ProcessResult operator()(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "--user");
    return base::runProcess(program_, arguments);
  }

  // A user manager answers is-system-running with its state, even a
  // degraded one; without one there is only an error on stderr.
  std::optional<std::string> unavailable() const {
    const base::ProcessResult probe = (*this)({"is-system-running"});
    static constexpr std::array<std::string_view, 6> states{
        "initializing", "starting", "running", "degraded", "maintenance", "stopping"};
    const std::string state = firstLine(probe.out);
    for (const std::string_view known : states) {
      if (state == known)
        return std::nullopt;
    }
    const std::string said = firstLine(probe.err.empty() ? probe.out : probe.err);
    return said.empty() ? "exit " + std::to_string(probe.status) : said;
  }

 private:
  fs::path program_;
};

bool ran(const base::ProcessResult& result, const std::string& what, std::ostream& err) {
  if (result.ok())
    return true;
  const std::string said = firstLine(result.err.empty() ? result.out : result.err);
  err << "parley service: `systemctl --user " << what << "` failed"
      << (said.empty() ? "" : ": " + said) << '\n';
  return false;
}

int install(const Systemctl& systemctl, const fs::path& executable, std::ostream& out,
            std::ostream& err) {
  const fs::path userUnit = userUnitPath();
  if (const auto packaged = packagedUnit(executable)) {
    out << "using the installed unit " << packaged->string() << '\n';
    // A unit of the user's own would hide the packaged one.
    std::error_code ignored;
    if (fs::remove(userUnit, ignored))
      out << "removed " << userUnit.string() << ", which took its place\n";
  } else {
    base::createDirectories(userUnit.parent_path(), 0700);
    base::writeFileAtomically(userUnit, serviceUnitFor(executable), 0644);
    out << "wrote " << userUnit.string() << " to run " << executable.string() << '\n';
  }
  if (!ran(systemctl({"daemon-reload"}), "daemon-reload", err) ||
      !ran(systemctl({"enable", "--now", std::string(kUnitName)}), "enable --now", err))
    return 1;
  out << "enabled and started " << kUnitName
      << ": it now starts when you log in and restarts if it fails.\n"
      << "Its log: journalctl --user -u parley\n";
  return 0;
}

int uninstall(const Systemctl& systemctl, std::ostream& out, std::ostream& err) {
  if (!ran(systemctl({"disable", "--now", std::string(kUnitName)}), "disable --now", err))
    return 1;
  out << "stopped and disabled " << kUnitName << '\n';
  const fs::path userUnit = userUnitPath();
  std::error_code ignored;
  if (fs::remove(userUnit, ignored)) {
    out << "removed " << userUnit.string() << '\n';
    if (!ran(systemctl({"daemon-reload"}), "daemon-reload", err))
      return 1;
  }
  return 0;
}

int status(const Systemctl& systemctl, std::ostream& out) {
  // Both answer with a word on stdout and a non-zero exit for the negative
  // states, which are answers here, not failures.
  const std::string enabled = firstLine(systemctl({"is-enabled", std::string(kUnitName)}).out);
  const std::string active = firstLine(systemctl({"is-active", std::string(kUnitName)}).out);
  out << kUnitName << ": " << (enabled.empty() ? "not installed" : enabled) << ", "
      << (active.empty() ? "unknown" : active) << '\n';
  if (active != "active")
    out << "Start it with `parley service install`; see why it stopped with "
           "`journalctl --user -u parley`.\n";
  return active == "active" ? 0 : 1;
}

}  // namespace

std::string serviceUnitFor(const fs::path& executable) {
  std::string unit = kServiceUnitTemplate;
  if (const auto at = unit.find(kPlaceholder); at != std::string::npos)
    unit.replace(at, kPlaceholder.size(), unitWord(executable.string()));
  return unit;
}

int runServiceCommand(ServiceAction action, const fs::path& executable, std::ostream& out,
                      std::ostream& err) {
  const std::optional<fs::path> program = base::findExecutable("systemctl");
  if (!program) {
    err << "parley service: systemctl is not on PATH; without systemd, start `parley run` from "
           "your desktop's autostart instead\n";
    return 1;
  }
  const Systemctl systemctl(*program);
  try {
    if (const auto reason = systemctl.unavailable()) {
      err << "parley service: there is no systemd user manager for this user (systemctl --user: "
          << *reason
          << "). Log in to a desktop session (or `loginctl enable-linger`) to get one, or start "
             "`parley run` yourself.\n";
      return 1;
    }
    switch (action) {
      case ServiceAction::install:
        return install(systemctl, executable, out, err);
      case ServiceAction::uninstall:
        return uninstall(systemctl, out, err);
      case ServiceAction::status:
        return status(systemctl, out);
    }
  } catch (const std::exception& e) {
    err << "parley service: " << e.what() << '\n';
  }
  return 1;
}

}  // namespace parley::cli
