#pragma once

// A tmux server of the test's own, on a socket in a fresh temporary
// directory, reading no configuration file; killed with everything in it when
// the object goes away. Stands in until the shared end-to-end harness lands.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "terminal/child_process.hpp"

namespace parley::terminal_test {

class TmuxServer {
 public:
  struct PaneSpec {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;
    std::filesystem::path cwd;
    int width = 110;
    int height = 45;
    std::string sessionName;  // generated when empty
  };

  struct Pane {
    std::string id;
    pid_t pid = -1;
    std::string session;
  };

  TmuxServer();
  ~TmuxServer();
  TmuxServer(const TmuxServer&) = delete;
  TmuxServer& operator=(const TmuxServer&) = delete;

  const std::filesystem::path& socketPath() const { return socket_; }

  // A detached session whose one pane runs spec.argv directly.
  Pane newSession(const PaneSpec& spec);

  // tmux -S SOCKET -f /dev/null args...; the status is returned.
  terminal::ChildResult tmux(const std::vector<std::string>& args,
                             const std::optional<std::string>& input = std::nullopt) const;

  // The visible screen as plain text; empty when the pane is gone.
  std::string capture(const std::string& pane) const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path socket_;
  int sessions_ = 0;
};

}  // namespace parley::terminal_test
