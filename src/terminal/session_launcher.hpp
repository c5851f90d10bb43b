#pragma once

// Opens Claude Code sessions in the person's own tmux server and closes
// them the way a person would, for the session driver. A session opened
// here is an ordinary tmux window in a session named for Parley, so the desk
// reaches it with `tmux attach`.
//
// The window runs Claude Code directly, as an argument vector, through the
// person's login shell only to take on the environment a login gives
// (PATH, the API settings of their profile): the shell is handed a fixed
// script and the program and its arguments as positional parameters, so
// nothing in them is ever read as shell text.

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "protocol/session.hpp"
#include "terminal/tmux_client.hpp"

namespace parley::terminal {

class SessionLauncher {
 public:
  // Why nothing was opened or closed, in words the phone shows.
  class LaunchError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  struct Options {
    // Whose ~/.local/bin and ~/.claude/local are searched for `claude`.
    std::filesystem::path home;
    // The tmux server to open windows in; by default the one the newest
    // live session runs in, else tmux's own default server.
    std::optional<std::string> socketPath;
    // Claude Code itself; by default `claude` on PATH or where its
    // installers put it.
    std::optional<std::filesystem::path> claudeExecutable;
    // The login shell the window starts through; by default the account's
    // own when it is a POSIX shell, else /bin/sh. Empty: none.
    std::optional<std::string> loginShell;
    // "NAME=value" entries the window's environment gets besides tmux's.
    std::vector<std::string> environment;
    std::string sessionName = "parley";
    // How many sessions opened here may be live at once.
    std::size_t maxLive = 16;
  };

  struct Opened {
    std::string socketPath;
    std::string paneID;
    std::string tmuxTarget;  // "parley:3"
    std::string attach;      // how the desk reaches it
  };

  explicit SessionLauncher(Options options);

  // A new window named `name` in `folder` running Claude Code with
  // `arguments`. Throws LaunchError when too many are live, Claude Code is
  // missing or tmux refuses; nothing is left behind then. Blocks on tmux.
  Opened open(const std::filesystem::path& folder, const std::string& name,
              const std::vector<std::string>& arguments,
              const std::vector<protocol::SessionDescriptor>& live);

  // Claude Code, resolved as open() would; a LaunchError when missing.
  std::filesystem::path claudeExecutable() const;
  // The command that reaches a window of this server at the desk.
  static std::string attachCommand(const std::string& socketPath, const std::string& target);
  // tmux's own default server for this user.
  static std::string defaultSocket();

  // Asks Claude Code in `pane` to exit as a person does, with Ctrl-C twice
  // (once more first when the box holds text or a turn runs), and waits
  // until it has. `mayPress` reads the screen before each key and returns
  // false when nothing may be pressed any more (a decision appeared); the
  // stop then fails. Waits are timers on the caller's executor.
  static boost::asio::awaitable<void> stop(TmuxClient tmux, std::string pane,
                                           std::function<bool(const std::string&)> mayPress,
                                           std::chrono::milliseconds timeout,
                                           std::chrono::milliseconds poll);

 private:
  std::size_t liveOpened();

  Options options_;
  std::string tmuxExecutable_;
  // The (socket, pane) of each window opened here, pruned as they close.
  std::set<std::pair<std::string, std::string>> opened_;
};

}  // namespace parley::terminal
