#include "protocol/session.hpp"

#include <filesystem>

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(PermissionOption, index, label, kind)
PARLEY_WIRE_FIELDS(TokenCounts, input, output, cacheWrite, cacheRead)
PARLEY_WIRE_FIELDS(SessionUsage, session, lastTurn, model, contextTokens, contextWindow,
                   estimatedCost, unknown, summary)
PARLEY_WIRE_FIELDS(SessionDescriptor, sessionID, paneID, socketPath, tmuxSession, pid, cwd,
                   displayName, title, gitBranch, model, permissionMode, state, waitingFor,
                   transcriptPath, claudeVersion, lastActivity, announceOnly, usage)

std::size_t PermissionOption::hash() const {
  return detail::hashFields(*this);
}

TokenCounts& TokenCounts::operator+=(const TokenCounts& other) {
  input += other.input;
  output += other.output;
  cacheWrite += other.cacheWrite;
  cacheRead += other.cacheRead;
  return *this;
}

TokenCounts& TokenCounts::operator-=(const TokenCounts& other) {
  input -= other.input;
  output -= other.output;
  cacheWrite -= other.cacheWrite;
  cacheRead -= other.cacheRead;
  return *this;
}

std::size_t TokenCounts::hash() const {
  return detail::hashFields(*this);
}

std::size_t SessionUsage::hash() const {
  return detail::hashFields(*this);
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

std::size_t SessionDescriptor::hash() const {
  return detail::hashFields(*this);
}

}  // namespace parley::protocol
