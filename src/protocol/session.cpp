#include "protocol/session.hpp"

#include <filesystem>

#include "protocol/hash_combine.hpp"

namespace parley::protocol {

PermissionOption PermissionOption::fromJson(const json::value& value) {
  const ObjectReader r(value, "PermissionOption");
  PermissionOption o;
  r.get("index", o.index);
  r.get("label", o.label);
  r.get("kind", o.kind);
  return o;
}

json::object PermissionOption::toJson() const {
  return ObjectWriter().put("index", index).put("label", label).put("kind", kind).take();
}

std::size_t PermissionOption::hash() const {
  return hashAll(index, label, kind);
}

std::string SessionDescriptor::shortName() const {
  if (!tmuxSession.empty())
    return tmuxSession;
  std::filesystem::path path(cwd);
  // "/a/b/" names b, as a shell user would expect.
  if (!path.has_filename())
    path = path.parent_path();
  return path.filename().string();
}

SessionDescriptor SessionDescriptor::fromJson(const json::value& value) {
  const ObjectReader r(value, "SessionDescriptor");
  SessionDescriptor d;
  r.get("sessionID", d.sessionID);
  r.get("paneID", d.paneID);
  r.get("socketPath", d.socketPath);
  r.get("tmuxSession", d.tmuxSession);
  r.get("pid", d.pid);
  r.get("cwd", d.cwd);
  r.get("displayName", d.displayName);
  r.get("title", d.title);
  r.get("gitBranch", d.gitBranch);
  r.get("model", d.model);
  r.get("permissionMode", d.permissionMode);
  r.get("state", d.state);
  r.get("waitingFor", d.waitingFor);
  r.get("transcriptPath", d.transcriptPath);
  r.get("claudeVersion", d.claudeVersion);
  r.get("lastActivity", d.lastActivity);
  return d;
}

json::object SessionDescriptor::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("paneID", paneID)
      .put("socketPath", socketPath)
      .put("tmuxSession", tmuxSession)
      .put("pid", pid)
      .put("cwd", cwd)
      .put("displayName", displayName)
      .put("title", title)
      .put("gitBranch", gitBranch)
      .put("model", model)
      .put("permissionMode", permissionMode)
      .put("state", state)
      .put("waitingFor", waitingFor)
      .put("transcriptPath", transcriptPath)
      .put("claudeVersion", claudeVersion)
      .put("lastActivity", lastActivity)
      .take();
}

std::size_t SessionDescriptor::hash() const {
  return hashAll(sessionID, paneID, socketPath, tmuxSession, pid, cwd, displayName, title,
                 gitBranch, model, permissionMode, state, waitingFor, transcriptPath, claudeVersion,
                 lastActivity.time_since_epoch().count());
}

}  // namespace parley::protocol
