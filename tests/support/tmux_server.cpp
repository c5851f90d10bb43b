#include "tmux_server.hpp"

#include <stdlib.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace parley::test {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = ::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::optional<std::string>& input) {
  if (argv.empty())
    throw std::invalid_argument("runProcess: empty argv");
  std::filesystem::path program = argv[0];
  if (argv[0].find('/') == std::string::npos) {
    const auto found = base::findExecutable(argv[0]);
    if (!found)
      throw std::runtime_error("cannot find " + argv[0] + " on PATH");
    program = *found;
  }
  std::vector<std::string> environment;
  for (const auto& [name, value] : env)
    environment.push_back(name + "=" + value);
  return base::runProcess(program, {argv.begin() + 1, argv.end()},
                          {.input = input, .environment = std::move(environment)});
}

TmuxServer::TmuxServer()
    : TmuxServer({{"PATH", envOr("PATH", "/usr/local/bin:/usr/bin:/bin")},
                  {"HOME", envOr("HOME", "/")},
                  {"USER", envOr("USER", "root")},
                  {"LANG", "C.UTF-8"}}) {}

TmuxServer::TmuxServer(std::map<std::string, std::string> baseEnv) : baseEnv_(std::move(baseEnv)) {
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

ProcessResult TmuxServer::tmux(const std::vector<std::string>& args,
                               const std::optional<std::string>& input) const {
  std::vector<std::string> argv{"tmux", "-S", socket_.string(), "-f", "/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, baseEnv_, input);
}

TmuxServer::Pane TmuxServer::newSession(const PaneSpec& paneSpec) {
  std::string name = paneSpec.sessionName;
  if (name.empty()) {
    // Built with snprintf: GCC 12 at -O3 misreports "s" + std::to_string(n)
    // as an overlapping copy (-Wrestrict).
    char generated[32];
    std::snprintf(generated, sizeof generated, "s%d", static_cast<int>(sessions_));
    name = generated;
  }
  // Server options ride along in the same invocation because the server only
  // exists once it has a session. tmux-256color gives programs the colours
  // they use in a real terminal; remain-on-exit keeps a crashed program's last
  // screen readable for the failure message.
  std::vector<std::string> args{"start-server",
                                ";",
                                "set-option",
                                "-g",
                                "default-terminal",
                                "tmux-256color",
                                ";",
                                "set-option",
                                "-g",
                                "remain-on-exit",
                                "on",
                                ";",
                                "set-option",
                                "-g",
                                "focus-events",
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
                                std::to_string(paneSpec.width),
                                "-y",
                                std::to_string(paneSpec.height)};
  if (!paneSpec.cwd.empty()) {
    args.push_back("-c");
    args.push_back(paneSpec.cwd.string());
  }
  for (const auto& [k, v] : paneSpec.env) {
    args.push_back("-e");
    args.push_back(k + "=" + v);
  }
  args.push_back("--");
  args.insert(args.end(), paneSpec.argv.begin(), paneSpec.argv.end());

  const ProcessResult r = tmux(args);
  ++sessions_;  // even a failed start may have left a server behind
  Pane pane;
  pane.session = name;
  const auto space = r.out.find(' ');
  if (!r.ok() || r.out.empty() || r.out[0] != '%' || space == std::string::npos) {
    ADD_FAILURE() << "tmux new-session failed (" << r.status << "): " << r.err << r.out;
    throw std::runtime_error("tmux new-session failed: " + r.err);
  }
  pane.id = r.out.substr(0, space);
  pane.pid = static_cast<pid_t>(std::stol(r.out.substr(space + 1)));
  return pane;
}

std::string TmuxServer::capture(const std::string& pane, bool escapes) const {
  std::vector<std::string> args{"capture-pane", "-p", "-t", pane};
  if (escapes)
    args.push_back("-e");
  ProcessResult r = tmux(args);
  return r.ok() ? r.out : std::string();
}

void TmuxServer::sendKeys(const std::string& pane, const std::vector<std::string>& keys) const {
  std::vector<std::string> args{"send-keys", "-t", pane};
  args.insert(args.end(), keys.begin(), keys.end());
  const ProcessResult r = tmux(args);
  EXPECT_TRUE(r.ok()) << "tmux send-keys failed: " << r.err;
}

void TmuxServer::sendLiteral(const std::string& pane, const std::string& text) const {
  const ProcessResult r = tmux({"send-keys", "-l", "-t", pane, "--", text});
  EXPECT_TRUE(r.ok()) << "tmux send-keys -l failed: " << r.err;
}

void TmuxServer::paste(const std::string& pane, const std::string& text) const {
  const std::string buffer = "parley-test-paste";
  ProcessResult r = tmux({"load-buffer", "-b", buffer, "-"}, text);
  EXPECT_TRUE(r.ok()) << "tmux load-buffer failed: " << r.err;
  if (!r.ok())
    return;
  r = tmux({"paste-buffer", "-p", "-d", "-b", buffer, "-t", pane});
  EXPECT_TRUE(r.ok()) << "tmux paste-buffer failed: " << r.err;
}

bool TmuxServer::paneAlive(const std::string& pane) const {
  const ProcessResult r = tmux({"display-message", "-p", "-t", pane, "#{pane_dead}"});
  return r.ok() && r.out == "0\n";
}

bool TmuxServer::waitForScreen(const std::string& pane,
                               const std::function<bool(const std::string&)>& predicate,
                               std::chrono::milliseconds timeout, std::string* lastScreen) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string screen = capture(pane);
    const bool held = predicate(screen);
    if (lastScreen)
      *lastScreen = std::move(screen);
    if (held)
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace parley::test
