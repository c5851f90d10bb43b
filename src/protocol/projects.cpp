#include "protocol/projects.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(ProjectInfo, projectID, name, path, lastActivity, pastSessions, liveSessions,
                   trusted)
PARLEY_WIRE_FIELDS(PastSession, historyID, lastActivity, turns, firstPrompt, live)

}  // namespace parley::protocol
