#include "terminal/claude_session_store.hpp"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/files.hpp"

namespace parley::terminal {

namespace json = protocol::json;

std::filesystem::path userHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return found->pw_dir;
  return "/";
}

SessionStatusReading ClaudeSessionFile::state() const {
  if (!status)
    return SessionStatusReading::unknown;
  if (*status == "idle")
    return SessionStatusReading::idle;
  if (*status == "busy")
    return SessionStatusReading::busy;
  if (*status == "waiting")
    return SessionStatusReading::waiting;
  return SessionStatusReading::unknown;
}

ClaudeSessionFile ClaudeSessionFile::fromJson(const json::value& value) {
  const protocol::ObjectReader r(value, "session file");
  ClaudeSessionFile f;
  r.get("pid", f.pid);
  r.get("sessionId", f.sessionId);
  r.get("cwd", f.cwd);
  r.get("version", f.version);
  r.get("kind", f.kind);
  r.get("entrypoint", f.entrypoint);
  r.get("name", f.name);
  r.get("nameSource", f.nameSource);
  r.get("status", f.status);
  r.get("waitingFor", f.waitingFor);
  r.get("startedAt", f.startedAt);
  r.get("updatedAt", f.updatedAt);
  r.get("statusUpdatedAt", f.statusUpdatedAt);
  r.get("tmux", f.tmux);
  return f;
}

json::object ClaudeSessionFile::toJson() const {
  return protocol::ObjectWriter()
      .put("pid", pid)
      .put("sessionId", sessionId)
      .put("cwd", cwd)
      .put("version", version)
      .put("kind", kind)
      .put("entrypoint", entrypoint)
      .put("name", name)
      .put("nameSource", nameSource)
      .put("status", status)
      .put("waitingFor", waitingFor)
      .put("startedAt", startedAt)
      .put("updatedAt", updatedAt)
      .put("statusUpdatedAt", statusUpdatedAt)
      .put("tmux", tmux)
      .take();
}

ClaudeSessionStore::ClaudeSessionStore(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

ClaudeSessionStore ClaudeSessionStore::forHome(const std::filesystem::path& home) {
  return ClaudeSessionStore(home / ".claude" / "sessions");
}

bool ClaudeSessionStore::isAlive(std::int32_t pid) {
  // kill() with 0 or a negative pid addresses process groups, which are
  // always "alive": a file naming such a pid is no evidence of a process.
  if (pid <= 0)
    return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<ClaudeSessionFile> ClaudeSessionStore::all() const {
  std::vector<ClaudeSessionFile> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(directory_, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.ends_with(".json"))
      continue;
    const std::optional<std::string> content = base::readFileIfReadable(it->path());
    if (!content)
      continue;
    try {
      ClaudeSessionFile file = ClaudeSessionFile::fromJson(protocol::parseJson(*content));
      if (isAlive(file.pid))
        out.push_back(std::move(file));
    } catch (const protocol::DecodeError&) {
      // Tolerant reader: a half-written or foreign file is skipped.
    }
  }
  return out;
}

}  // namespace parley::terminal
