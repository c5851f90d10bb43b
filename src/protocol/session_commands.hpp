#pragma once

// The one door through which commands about sessions reach the layer that
// carries them out: the phone's commands (as their wire records) and the two
// requests the server makes itself (the session list for a hello, one frame
// of a subscribed terminal), and what is said to desktop voice. The WebSocket server and desktop
// voice call it; the session driver implements it.
//
// A new phone command is one record in the variant and one handler in the
// driver: the server treats every command alike.

#include <exception>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/client_messages.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::protocol {

// The current sessions, after a full refresh.
struct ListSessions {};

// One frame of the session's terminal, escapes kept.
struct TermFrameRequest {
  std::string sessionID;
};

// A prompt said at the desk: typed and submitted like the phone's, and its
// turn starts at the desk.
struct SpokenPrompt {
  std::string sessionID;
  std::string text;
};

// "Yes" or "no" said at the desk to the session's pending permission
// request: its single-call approval or its denial.
struct SpokenAnswer {
  std::string sessionID;
  bool approve = false;
};

using SessionCommand =
    std::variant<SubmitPrompt, Interrupt, PermissionAnswer, QuestionAnswer, SendKey, GetPane,
                 GetDetail, Focus, SetPrefs, TermInput, TermFrameRequest, ListSessions,
                 SpokenPrompt, SpokenAnswer, GetChanges, GetFileDiff, ListProjects, ListHistory,
                 StartSession, ResumeSession, StopSession, SetMode>;

// The full text behind a truncated tool result.
struct DetailText {
  std::string ref;
  std::string text;
};

// What a command produces: nothing, or the record it asked for.
using CommandResult = std::variant<std::monostate, PaneSnapshot, TermFrame, DetailText,
                                   std::vector<SessionDescriptor>, Changes, FileDiff, Projects,
                                   History, SessionStarted>;

class SessionCommands {
 public:
  // Called exactly once, from any thread. A failure's what() is the text the
  // phone is shown.
  using Done = std::function<void(std::exception_ptr, CommandResult)>;

  virtual ~SessionCommands() = default;

  // Returns at once; commands are carried out one at a time, in the order
  // they were given. Reading a project's changes alters nothing and may
  // answer out of that order.
  virtual void run(SessionCommand command, Done done) = 0;
};

}  // namespace parley::protocol
