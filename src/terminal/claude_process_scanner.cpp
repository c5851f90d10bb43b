#include "terminal/claude_process_scanner.hpp"

#include <algorithm>
#include <charconv>

#include "base/files.hpp"
#include "protocol/hash_combine.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

std::optional<std::int32_t> pidFromName(const std::string& name) {
  std::int32_t pid = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (ec != std::errc() || end != name.data() + name.size() || pid <= 0)
    return std::nullopt;
  return pid;
}

}  // namespace

std::size_t ClaudeProcessScanner::Process::hash() const {
  return protocol::hashAll(pid, tmuxPane, tmuxEnv, cwd);
}

ClaudeProcessScanner::ClaudeProcessScanner(std::filesystem::path procRoot)
    : procRoot_(std::move(procRoot)) {}

std::vector<ClaudeProcessScanner::Process> ClaudeProcessScanner::scan() const {
  std::vector<std::int32_t> pids;
  std::error_code ec;
  std::filesystem::directory_iterator it(procRoot_, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const auto pid = pidFromName(it->path().filename().string());
    if (!pid)
      continue;
    const auto comm = base::readFileIfReadable(it->path() / "comm");
    // The kernel ends `comm` with a line feed.
    if (comm && (*comm == "claude\n" || *comm == "claude"))
      pids.push_back(*pid);
  }
  std::sort(pids.begin(), pids.end());
  std::vector<Process> out;
  for (std::int32_t pid : pids) {
    if (auto p = read(pid))
      out.push_back(std::move(*p));
  }
  return out;
}

std::optional<ClaudeProcessScanner::Process> ClaudeProcessScanner::process(std::int32_t pid) const {
  if (pid <= 0)
    return std::nullopt;
  return read(pid);
}

std::optional<ClaudeProcessScanner::Process> ClaudeProcessScanner::read(std::int32_t pid) const {
  const std::filesystem::path dir = procRoot_ / std::to_string(pid);
  const auto environ = base::readFileIfReadable(dir / "environ");
  if (!environ)
    return std::nullopt;
  auto process = parseEnvironment(pid, *environ);
  if (!process)
    return std::nullopt;
  std::error_code ec;
  const auto cwd = std::filesystem::read_symlink(dir / "cwd", ec);
  if (!ec)
    process->cwd = cwd.string();
  return process;
}

std::optional<ClaudeProcessScanner::Process> ClaudeProcessScanner::parseEnvironment(
    std::int32_t pid, std::string_view environ) {
  Process p;
  p.pid = pid;
  bool found = false;
  for (std::string_view entry : text::split(environ, std::string_view("\0", 1))) {
    if (entry.starts_with("TMUX_PANE=")) {
      p.tmuxPane = std::string(entry.substr(10));
      found = true;
    } else if (entry.starts_with("TMUX=")) {
      p.tmuxEnv = std::string(entry.substr(5));
      found = true;
    }
  }
  if (!found)
    return std::nullopt;
  return p;
}

}  // namespace parley::terminal
