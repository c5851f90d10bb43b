#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/process.hpp"

namespace parley::test {

using base::ProcessResult;

// base::runProcess with a test's conveniences: argv[0] is looked up on PATH
// when it has no slash, and the environment is exactly the given map.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::optional<std::string>& input = std::nullopt);

// A tmux server of its own: its socket lives in a fresh temporary directory,
// it reads no configuration file (-f /dev/null), and it is killed with
// everything running in it when the object goes away. The server starts with
// the first session.
class TmuxServer {
 public:
  // A pane to start: its command runs directly (never through a shell) in
  // `cwd`, with the server's base environment plus `env`; tmux adds TMUX and
  // TMUX_PANE as usual.
  struct PaneSpec {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;
    std::filesystem::path cwd;
    int width = 110;
    int height = 45;
    std::string sessionName;  // generated when empty
  };

  struct Pane {
    std::string id;  // "%N"
    pid_t pid = -1;  // the pane's first process: the command itself
    std::string session;
  };

  // `baseEnv` is the environment of every tmux command and so of the server
  // and of each pane; the default is a small, predictable one: PATH, HOME,
  // USER, LANG=C.UTF-8 (tmux and the programs in the panes then speak UTF-8).
  TmuxServer();
  explicit TmuxServer(std::map<std::string, std::string> baseEnv);
  ~TmuxServer();
  TmuxServer(const TmuxServer&) = delete;
  TmuxServer& operator=(const TmuxServer&) = delete;

  const std::filesystem::path& socketPath() const { return socket_; }

  // Starts a detached session whose only pane runs paneSpec.argv; fails the
  // calling test (and throws) when tmux refuses.
  Pane newSession(const PaneSpec& paneSpec);

  // `tmux -S SOCKET -f /dev/null args...`; a non-zero status is returned, not
  // thrown.
  ProcessResult tmux(const std::vector<std::string>& args,
                     const std::optional<std::string>& input = std::nullopt) const;

  // The visible screen of a pane, one line per row (`capture-pane -p`), with
  // colour and attribute escapes when `escapes` is true. Empty when the pane
  // is gone.
  std::string capture(const std::string& pane, bool escapes = false) const;

  // tmux key names ("Enter", "Escape", "C-c", "1").
  void sendKeys(const std::string& pane, const std::vector<std::string>& keys) const;
  // Text typed as keys (`send-keys -l`).
  void sendLiteral(const std::string& pane, const std::string& text) const;
  // Text as one bracketed paste through a named buffer that the paste deletes.
  void paste(const std::string& pane, const std::string& text) const;

  // The pane exists and its process has not exited.
  bool paneAlive(const std::string& pane) const;

  // Polls the screen (plain text) until `predicate` holds or `timeout`
  // passes; returns whether it held. The last screen read is left in
  // `lastScreen` when given, for failure messages.
  bool waitForScreen(const std::string& pane,
                     const std::function<bool(const std::string&)>& predicate,
                     std::chrono::milliseconds timeout, std::string* lastScreen = nullptr) const;

 private:
  std::map<std::string, std::string> baseEnv_;
  std::filesystem::path dir_;
  std::filesystem::path socket_;
  int sessions_ = 0;
};

}  // namespace parley::test
