#include "app/setup_checks.hpp"

#include <system_error>

#include "base/process.hpp"
#include "link/pairing.hpp"
#include "link/tailscale.hpp"
#include "terminal/supported_claude_versions.hpp"

namespace parley::app {

namespace {

namespace fs = std::filesystem;
using Status = SetupCheck::Status;

// The program's first output line, or nothing when it cannot be run or fails.
std::optional<std::string> answer(const fs::path& program, const std::vector<std::string>& args) {
  try {
    const base::ProcessResult result = base::runProcess(program, args);
    if (result.ok())
      return firstLine(result.out);
  } catch (const std::system_error&) {
  }
  return std::nullopt;
}

}  // namespace

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

SetupCheck tmuxCheck() {
  const auto program = base::findExecutable("tmux");
  if (!program)
    return {"tmux", Status::fail, "tmux is not on PATH",
            "install it (sudo apt install tmux) and run Claude Code inside tmux"};
  const auto version = answer(*program, {"-V"});
  if (!version)
    return {"tmux", Status::fail, program->string() + " -V failed", "reinstall tmux"};
  return {"tmux", Status::ok, *version, ""};
}

SetupCheck claudeCodeCheck() {
  const auto program = base::findExecutable("claude");
  if (!program)
    return {"claude code", Status::fail, "claude is not on PATH",
            "install Claude Code and make sure `claude` is on PATH"};
  // "2.1.222 (Claude Code)"
  const auto said = answer(*program, {"--version"});
  const std::string version = said ? said->substr(0, said->find(' ')) : "";
  std::string tested;
  for (const std::string& v : terminal::SupportedClaudeVersions::tested())
    tested += (tested.empty() ? "" : ", ") + v;
  if (terminal::SupportedClaudeVersions::isSupported(version))
    return {"claude code", Status::ok, "Claude Code " + version + " at " + program->string(), ""};
  return {"claude code", Status::warn,
          (version.empty() ? "an unknown version" : "Claude Code " + version) +
              ", which Parley has not been tested with: its sessions are followed, but Parley "
              "does not type into them",
          "use one of " + tested};
}

std::vector<SetupCheck> tailscaleChecks(const std::string& executable, std::uint16_t port) {
  const std::string login = "install Tailscale, then `sudo tailscale up` and log in";
  link::TailscaleStatus::Info info;
  try {
    info = link::TailscaleStatus(executable).read();
  } catch (const link::PairingError& e) {
    return {{"tailscale", Status::fail, e.message(), login},
            {"tailscale serve", Status::skip, "needs Tailscale", ""}};
  }
  SetupCheck status{"tailscale", Status::ok, "running as " + info.magicDNSName, ""};
  if (info.backendState != "Running")
    status = {"tailscale", Status::fail,
              "Tailscale is " + info.backendState.value_or("in an unknown state"), login};
  else if (info.magicDNSName.empty())
    status = {"tailscale", Status::fail, "this machine has no MagicDNS name",
              "turn on MagicDNS and HTTPS certificates in the Tailscale admin console"};
  if (status.status != Status::ok)
    return {status, {"tailscale serve", Status::skip, "needs Tailscale", ""}};

  const std::string serve =
      "run `parley pair --name PHONE` (it sets this up), or `tailscale "
      "serve --bg --https=443 http://127.0.0.1:" +
      std::to_string(port) + "`";
  try {
    if (link::TailscaleServe(executable).forwards(443, port))
      return {status,
              {"tailscale serve", Status::ok,
               "https://" + info.magicDNSName + " forwards to port " + std::to_string(port), ""}};
    return {status,
            {"tailscale serve", Status::fail,
             "HTTPS 443 is not forwarded to port " + std::to_string(port), serve}};
  } catch (const link::PairingError& e) {
    return {status, {"tailscale serve", Status::fail, e.message(), serve}};
  }
}

}  // namespace parley::app
