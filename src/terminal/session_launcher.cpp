#include "terminal/session_launcher.hpp"

#include <pwd.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstdlib>

#include "base/process.hpp"
#include "terminal/prompt_injector.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

// Shells that run `-l -c SCRIPT NAME ARGS...` the POSIX way; any other (a
// fish or nu login shell) is passed over for /bin/sh.
bool posixShell(const std::string& shell) {
  const std::string name = fs::path(shell).filename().string();
  for (const char* known : {"sh", "bash", "dash", "zsh", "ksh", "mksh"}) {
    if (name == known)
      return true;
  }
  return false;
}

std::string accountShell() {
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_shell && *pw->pw_shell)
    return pw->pw_shell;
  return "/bin/sh";
}

// tmux names windows after their title; a folder's name may hold the
// characters tmux treats as target syntax.
std::string windowName(const std::string& name) {
  std::string out;
  for (char c : name)
    out += (c == ':' || c == '.' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
  return out.empty() ? "claude" : out.substr(0, 40);
}

}  // namespace

SessionLauncher::SessionLauncher(Options options)
    : options_(std::move(options)), tmuxExecutable_(TmuxClient::resolveExecutable()) {}

std::string SessionLauncher::defaultSocket() {
  const char* dir = ::getenv("TMUX_TMPDIR");
  const std::string base = dir && *dir ? dir : "/tmp";
  return base + "/tmux-" + std::to_string(::getuid()) + "/default";
}

std::string SessionLauncher::attachCommand(const std::string& socketPath,
                                           const std::string& target) {
  if (socketPath == defaultSocket())
    return "tmux attach -t " + target;
  return "tmux -S " + socketPath + " attach -t " + target;
}

fs::path SessionLauncher::claudeExecutable() const {
  if (options_.claudeExecutable) {
    if (!base::isExecutableFile(*options_.claudeExecutable))
      throw LaunchError("Claude Code was not found at " + options_.claudeExecutable->string());
    return *options_.claudeExecutable;
  }
  if (auto found = base::findExecutable("claude"))
    return *found;
  // Where Claude Code's own installers put it, for a Parley started by
  // systemd with a shorter PATH than a login's.
  for (const fs::path& candidate :
       {options_.home / ".local/bin/claude", options_.home / ".claude/local/claude",
        options_.home / ".npm-global/bin/claude"}) {
    if (base::isExecutableFile(candidate))
      return candidate;
  }
  throw LaunchError(
      "Claude Code (claude) is not installed on this computer, or not on Parley's PATH");
}

std::size_t SessionLauncher::liveOpened() {
  for (auto it = opened_.begin(); it != opened_.end();) {
    if (TmuxClient(tmuxExecutable_, it->first).paneExists(it->second))
      ++it;
    else
      it = opened_.erase(it);
  }
  return opened_.size();
}

SessionLauncher::Opened SessionLauncher::open(
    const fs::path& folder, const std::string& name, const std::vector<std::string>& arguments,
    const std::vector<protocol::SessionDescriptor>& live) {
  if (liveOpened() >= options_.maxLive)
    throw LaunchError("already " + std::to_string(options_.maxLive) +
                      " sessions started from the phone are running: stop one first");
  const fs::path claude = claudeExecutable();

  std::string socket;
  if (options_.socketPath) {
    socket = *options_.socketPath;
  } else {
    const protocol::SessionDescriptor* newest = nullptr;
    for (const auto& s : live) {
      if (!s.socketPath.empty() && (!newest || s.lastActivity > newest->lastActivity))
        newest = &s;
    }
    socket = newest ? newest->socketPath : defaultSocket();
  }
  const TmuxClient tmux(tmuxExecutable_, socket);

  std::vector<std::string> command;
  const std::string shell =
      options_.loginShell ? *options_.loginShell
                          : (posixShell(accountShell()) ? accountShell() : std::string("/bin/sh"));
  if (!shell.empty())
    command = {shell, "-l", "-c", "exec \"$0\" \"$@\""};
  command.push_back(claude.string());
  command.insert(command.end(), arguments.begin(), arguments.end());

  // In the session named for Parley, made (and with it the server, when
  // none runs) on first use.
  const bool haveSession = tmux.run({"has-session", "-t", "=" + options_.sessionName}).ok();
  std::vector<std::string> args;
  if (haveSession)
    args = {"new-window", "-d", "-t", "=" + options_.sessionName + ":"};
  else
    args = {"new-session", "-d", "-s", options_.sessionName, "-x", "120", "-y", "40"};
  for (const std::string& entry : options_.environment) {
    args.emplace_back("-e");
    args.push_back(entry);
  }
  const std::vector<std::string> place{"-n",
                                       windowName(name),
                                       "-c",
                                       folder.string(),
                                       "-P",
                                       "-F",
                                       "#{pane_id} #{session_name}:#{window_index}"};
  args.insert(args.end(), place.begin(), place.end());
  args.emplace_back("--");
  args.insert(args.end(), command.begin(), command.end());

  TmuxClient::Result result;
  try {
    result = tmux.run(args);
  } catch (const std::exception& e) {
    throw LaunchError(std::string("tmux could not be started: ") + e.what());
  }
  // tmux may exit 0 having opened nothing (a server it could not start
  // says so only on standard error): only a pane id counts.
  const std::string out(text::trimmed(result.standardOutput));
  const auto space = out.find(' ');
  if (!result.ok() || space == std::string::npos || out.front() != '%') {
    const std::string_view why = text::trimmed(result.standardError);
    throw LaunchError("tmux could not open a window: " +
                      (why.empty() ? std::string("it named no pane") : std::string(why)));
  }
  Opened opened{socket, out.substr(0, space), out.substr(space + 1), ""};
  opened.attach = attachCommand(socket, opened.tmuxTarget);
  opened_.emplace(socket, opened.paneID);
  return opened;
}

asio::awaitable<void> SessionLauncher::stop(TmuxClient tmux, std::string pane,
                                            std::function<bool(const std::string&)> mayPress,
                                            std::chrono::milliseconds timeout,
                                            std::chrono::milliseconds poll) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto lastPress = std::chrono::steady_clock::now() - std::chrono::hours(1);
  while (tmux.paneExists(pane)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      throw LaunchError("Claude Code did not exit");
    std::string screen;
    try {
      screen = tmux.capture(pane, std::nullopt, false);
    } catch (const std::exception&) {
      break;  // gone between the two looks
    }
    // The hint that arms the second Ctrl-C lasts about a second; otherwise
    // the screen gets time to answer the last press.
    const bool armed = screen.find("again to exit") != std::string::npos;
    const auto since = now - lastPress;
    if ((armed && since >= std::chrono::milliseconds(300)) ||
        since >= std::chrono::milliseconds(1200)) {
      if (!mayPress(screen))
        throw LaunchError("a decision appeared on its screen: answer it first");
      tmux.sendKey("C-c", pane);
      lastPress = now;
    }
    timer.expires_after(poll);
    co_await timer.async_wait(asio::use_awaitable);
  }
}

}  // namespace parley::terminal
