#include "cli/doctor.hpp"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/json.hpp>
#include <cstdio>
#include <optional>
#include <ostream>

#include "app/hook_setup.hpp"
#include "app/notification_settings.hpp"
#include "app/setup_checks.hpp"
#include "base/paths.hpp"
#include "base/process.hpp"
#include "link/pairing.hpp"
#include "link/push_crypto.hpp"
#include "link/tailscale.hpp"
#include "terminal/supported_claude_versions.hpp"

namespace parley::cli {

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using Status = DoctorCheck::Status;

DoctorCheck hooks(const fs::path& executableDirectory) {
  const app::HookSetupStatus s = app::hookStatus(executableDirectory);
  if (s.detail.problem)
    return {"hooks", Status::fail, *s.detail.problem,
            "repair " + s.settingsPath.string() + ", then run `parley hooks install`"};
  const std::string counted = std::to_string(s.detail.eventsWithRelay.size()) + " of " +
                              std::to_string(claude::HookInstaller::events.size()) + " events";
  if (!s.relayInstalled)
    return {"hooks", Status::fail, "no relay at " + s.relayPath.string(),
            "run `parley hooks install`"};
  if (!s.hookInstalled)
    return {"hooks", Status::fail, "registered for " + counted, "run `parley hooks install`"};
  return {"hooks", Status::ok, "registered for " + counted + ", relay " + s.relayPath.string(), ""};
}

DoctorCheck hookSocket() {
  const fs::path path = base::hookSocketPath();
  boost::asio::io_context io;
  boost::asio::local::stream_protocol::socket socket(io);
  boost::system::error_code ec;
  try {
    socket.connect(boost::asio::local::stream_protocol::endpoint(path.string()), ec);
  } catch (const boost::system::system_error& e) {
    ec = e.code();  // a path too long for a socket address
  }
  if (ec)
    return {"hook socket", Status::fail,
            "nothing listens at " + path.string() + " (" + ec.message() + ")",
            "start Parley: `parley service install`, or `parley run` in a terminal"};
  return {"hook socket", Status::ok, "Parley is listening at " + path.string(), ""};
}

DoctorCheck audio() {
  const auto pactl = base::findExecutable("pactl");
  if (!pactl)
    return {"audio", Status::skip, "pactl is not installed, so the sound server was not asked",
            "install pulseaudio-utils to check it"};
  try {
    const base::ProcessResult result = base::runProcess(*pactl, {"info"});
    if (result.ok()) {
      std::string server = "a sound server";
      const auto at = result.out.find("Server Name: ");
      if (at != std::string::npos)
        server = app::firstLine(result.out.substr(at + 13));
      return {"audio", Status::ok, server + " answers", ""};
    }
    return {"audio", Status::fail, "no PulseAudio server answers: " + app::firstLine(result.err),
            "start your session's sound server (systemctl --user start pipewire-pulse, or "
            "pulseaudio --start)"};
  } catch (const std::system_error& e) {
    return {"audio", Status::fail, "pactl could not run: " + std::string(e.what()),
            "reinstall pulseaudio-utils"};
  }
}

DoctorCheck speechEngine() {
  espeak_ng_InitializePath(nullptr);
  const char* data = nullptr;
  const char* version = espeak_Info(&data);
  const fs::path path = data != nullptr ? data : "";
  std::error_code ignored;
  if (path.empty() || !fs::exists(path / "phontab", ignored))
    return {"speech", Status::fail, "no espeak-ng data at " + path.string(),
            "sudo apt install espeak-ng-data"};
  return {"speech", Status::ok,
          "espeak-ng " + std::string(version ? version : "") + ", data in " + path.string(), ""};
}

DoctorCheck recognizer() {
  const fs::path model = fs::path(PARLEY_POCKETSPHINX_MODELDIR) / "en-us";
  std::error_code ignored;
  for (const fs::path& part :
       {model / "en-us" / "mdef", model / "en-us.lm.bin", model / "cmudict-en-us.dict"}) {
    if (!fs::exists(part, ignored))
      return {"recognition", Status::fail,
              "no pocketsphinx model: " + part.string() + " is missing",
              "sudo apt install pocketsphinx-en-us"};
  }
  return {"recognition", Status::ok, "pocketsphinx en-us model in " + model.string(), ""};
}

// Parley's own directories are the user's alone (0700) and its files
// readable by the user only (0600): they hold device tokens.
void checkDirectory(const fs::path& directory, std::vector<std::string>& problems,
                    std::vector<std::string>& fixes) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0)
    return;  // created on first use
  if ((st.st_mode & 077) != 0) {
    problems.push_back(directory.string() + " is readable by others");
    fixes.push_back("chmod 700 " + directory.string());
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const fs::path& file = entry.path();
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || file.filename() == "parley-hook")
      continue;
    if (::access(file.c_str(), R_OK) != 0) {
      problems.push_back(file.string() + " is not readable");
      fixes.push_back("chown $USER " + file.string());
    } else if ((st.st_mode & 077) != 0) {
      problems.push_back(file.string() + " is readable by others");
      fixes.push_back("chmod 600 " + file.string());
    }
  }
  if (error) {
    problems.push_back(directory.string() + " cannot be listed (" + error.message() + ")");
    fixes.push_back("chown -R $USER " + directory.string());
  }
}

DoctorCheck files() {
  std::vector<std::string> problems, fixes;
  const fs::path data = base::dataDirectory(), config = base::configDirectory();
  checkDirectory(data, problems, fixes);
  checkDirectory(config, problems, fixes);
  const auto joined = [](const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts)
      out += (out.empty() ? "" : "; ") + p;
    return out;
  };
  if (!problems.empty())
    return {"files", Status::fail, joined(problems), joined(fixes)};
  return {"files", Status::ok, data.string() + " and " + config.string(), ""};
}

// The key that signs every push: without it, or with a copy others can
// read, notifications cannot be trusted to come from this desktop.
DoctorCheck pushKey() {
  const fs::path file = link::PushCrypto::defaultKeyFile();
  const std::string remake =
      "move " + file.string() +
      " aside; Parley makes a new key when it starts, and each phone turns notifications on again";
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0)
    return {"push key", Status::fail, "no " + file.string() + " yet",
            "start Parley once (`parley run`, or `parley service install`): it makes the key"};
  if (!S_ISREG(st.st_mode))
    return {"push key", Status::fail, file.string() + " is not a regular file", remake};
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return {"push key", Status::fail, file.string() + " is readable by others (mode " + mode + ")",
            "chmod 600 " + file.string()};
  }
  try {
    (void)link::PushCrypto::load(file);
  } catch (const std::exception& e) {
    return {"push key", Status::fail, e.what(), remake};
  }
  return {"push key", Status::ok, "a P-256 key, owner-only, in " + file.string(), ""};
}

// Apple's push service refuses a token whose contact is not an https: URL
// or a real mail address, so the fallback works everywhere but on an iPhone.
DoctorCheck pushSubject(const std::optional<std::string>& magicDNSName) {
  const std::string where = "set a contact in the control panel (Settings \u2192 Notifications)";
  std::vector<std::string> problems;
  const app::NotificationSettings settings =
      app::NotificationSettings::load(link::Preferences(), &problems);
  for (const std::string& problem : problems)
    if (problem.starts_with("vapidSubject"))
      return {
          "push subject", Status::fail,
          "the contact in " + link::Preferences::defaultFile().string() + " is ignored: " + problem,
          where + ", or clear it there"};
  if (!settings.vapidSubject.empty())
    return {"push subject", Status::ok, "pushes are signed " + settings.vapidSubject + " (set)",
            ""};
  const std::string subject = link::defaultVapidSubject(magicDNSName);
  if (subject == link::kFallbackVapidSubject)
    return {"push subject", Status::warn,
            "no Tailscale name is known, so pushes are signed " + subject +
                ", which Apple's push service refuses",
            "bring Tailscale up with MagicDNS, or " + where};
  return {"push subject", Status::ok, "pushes are signed " + subject, ""};
}

std::optional<std::string> magicDNSName() {
  try {
    std::string name =
        link::TailscaleStatus(link::defaultTailscaleExecutable()).read().magicDNSName;
    if (!name.empty())
      return name;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::string_view statusName(Status status) {
  switch (status) {
    case Status::ok:
      return "ok";
    case Status::warn:
      return "warn";
    case Status::fail:
      return "fail";
    case Status::skip:
      return "skip";
  }
  return "fail";
}

}  // namespace

std::vector<DoctorCheck> runDoctorChecks(const DoctorOptions& options) {
  std::vector<DoctorCheck> checks{app::tmuxCheck(), app::claudeCodeCheck()};
  for (DoctorCheck& check : app::tailscaleChecks(link::defaultTailscaleExecutable(), options.port))
    checks.push_back(std::move(check));
  checks.push_back(hooks(options.executableDirectory));
  checks.push_back(hookSocket());
  checks.push_back(audio());
  checks.push_back(speechEngine());
  checks.push_back(recognizer());
  checks.push_back(files());
  checks.push_back(pushKey());
  checks.push_back(pushSubject(magicDNSName()));
  return checks;
}

int doctorCommand(const DoctorOptions& options, bool asJson, std::ostream& out) {
  const std::vector<DoctorCheck> checks = runDoctorChecks(options);
  std::size_t failed = 0;
  for (const DoctorCheck& check : checks)
    failed += check.status == Status::fail ? 1 : 0;

  if (asJson) {
    json::array list;
    for (const DoctorCheck& check : checks)
      list.push_back({{"name", check.name},
                      {"status", statusName(check.status)},
                      {"detail", check.detail},
                      {"fix", check.fix}});
    out << json::serialize(json::object{{"ok", failed == 0}, {"checks", std::move(list)}}) << '\n';
    return failed == 0 ? 0 : 1;
  }
  for (const DoctorCheck& check : checks) {
    std::string label(statusName(check.status));
    if (check.status == Status::fail)
      label = "FAIL";
    out << label << std::string(6 - label.size(), ' ') << check.name
        << std::string(check.name.size() < 16 ? 16 - check.name.size() : 1, ' ') << check.detail
        << '\n';
    if (!check.fix.empty() && check.status != Status::ok)
      out << std::string(22, ' ') << "\u2192 " << check.fix << '\n';
  }
  if (failed == 0)
    out << "Everything Parley needs is in place.\n";
  else
    out << failed << (failed == 1 ? " check" : " checks") << " failed.\n";
  return failed == 0 ? 0 : 1;
}

}  // namespace parley::cli
