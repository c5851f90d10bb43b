#include "private_tmux.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <stdexcept>

namespace parley::terminal_test {

TmuxServer::TmuxServer() {
  std::string pattern = (std::filesystem::temp_directory_path() / "parley-tmux-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  socket_ = dir_ / "tmux.sock";
}

TmuxServer::~TmuxServer() {
  if (sessions_ > 0)
    tmux({"kill-server"});
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

terminal::ChildResult TmuxServer::tmux(const std::vector<std::string>& args,
                                       const std::optional<std::string>& input) const {
  std::vector<std::string> argv{"-S", socket_.string(), "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return terminal::runChild("/usr/bin/tmux", argv, input);
}

TmuxServer::Pane TmuxServer::newSession(const PaneSpec& spec) {
  const std::string name =
      spec.sessionName.empty() ? "s" + std::to_string(sessions_) : spec.sessionName;
  // The server only exists once it has a session, so its options ride along
  // in the same invocation; remain-on-exit keeps an exited program's screen.
  std::vector<std::string> args{"start-server",
                                ";",
                                "set-option",
                                "-g",
                                "remain-on-exit",
                                "on",
                                ";",
                                "new-session",
                                "-d",
                                "-P",
                                "-F",
                                "#{pane_id} #{pane_pid}",
                                "-s",
                                name,
                                "-x",
                                std::to_string(spec.width),
                                "-y",
                                std::to_string(spec.height),
                                "-e",
                                "LANG=C.UTF-8"};
  if (!spec.cwd.empty()) {
    args.push_back("-c");
    args.push_back(spec.cwd.string());
  }
  for (const auto& [k, v] : spec.env) {
    args.push_back("-e");
    args.push_back(k + "=" + v);
  }
  args.push_back("--");
  args.insert(args.end(), spec.argv.begin(), spec.argv.end());
  const terminal::ChildResult r = tmux(args);
  ++sessions_;
  const auto space = r.out.find(' ');
  if (r.status != 0 || r.out.empty() || r.out[0] != '%' || space == std::string::npos) {
    ADD_FAILURE() << "tmux new-session failed (" << r.status << "): " << r.err << r.out;
    throw std::runtime_error("tmux new-session failed: " + r.err);
  }
  Pane pane;
  pane.session = name;
  pane.id = r.out.substr(0, space);
  pane.pid = static_cast<pid_t>(std::stol(r.out.substr(space + 1)));
  return pane;
}

std::string TmuxServer::capture(const std::string& pane) const {
  const terminal::ChildResult r = tmux({"capture-pane", "-p", "-t", pane});
  return r.status == 0 ? r.out : std::string();
}

}  // namespace parley::terminal_test
