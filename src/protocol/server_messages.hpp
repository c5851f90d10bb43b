#pragma once

// Everything the desktop sends to the phone. Each case is a payload record
// with its wire type string; ServerMessage is the sum of them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/changes.hpp"
#include "protocol/narration.hpp"
#include "protocol/projects.hpp"
#include "protocol/session.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol {

struct HelloAck {
  static constexpr std::string_view kType = "hello_ack";
  std::string serverVersion;
  std::uint64_t resumedFromSeq = 0;
  bool gap = false;
  std::vector<SessionDescriptor> sessions;
  // The desktop's VAPID public key (URL-safe Base64), for a page that
  // subscribes to notifications; absent where the desktop cannot send them.
  std::optional<std::string> vapidPublicKey;
  PARLEY_WIRE_RECORD(HelloAck);
};

struct SessionUpdate {
  static constexpr std::string_view kType = "session_update";
  std::vector<SessionDescriptor> sessions;
  PARLEY_WIRE_RECORD(SessionUpdate);
};

struct TurnStarted {
  static constexpr std::string_view kType = "turn_started";
  enum class Origin { phone, desk };
  std::string sessionID;
  std::optional<std::string> promptID;
  std::string prompt;
  Origin origin = Origin::phone;
  PARLEY_WIRE_RECORD(TurnStarted);
};

struct AssistantText {
  static constexpr std::string_view kType = "assistant_text";
  std::string sessionID;
  std::string messageUUID;
  Narration narration;
  bool final = false;
  bool isSidechain = false;
  PARLEY_WIRE_RECORD(AssistantText);
};

struct ToolStarted {
  static constexpr std::string_view kType = "tool_started";
  std::string sessionID;
  std::string toolUseID;
  std::string toolName;
  Narration narration;
  PARLEY_WIRE_RECORD(ToolStarted);
};

struct ToolFinished {
  static constexpr std::string_view kType = "tool_finished";
  std::string sessionID;
  std::string toolUseID;
  bool ok = true;
  std::string summary;
  bool truncated = false;
  std::optional<std::string> detailRef;
  std::optional<std::int64_t> durationMS;
  PARLEY_WIRE_RECORD(ToolFinished);
};

struct PermissionRequest {
  static constexpr std::string_view kType = "permission_request";
  std::string sessionID;
  std::string requestID;
  std::string nonce;
  std::string toolName;
  std::string detail;
  std::optional<std::string> description;
  std::vector<PermissionOption> options;
  RiskTier tier = RiskTier::elevated;
  Narration narration;
  PARLEY_WIRE_RECORD(PermissionRequest);
};

struct QuestionRequest {
  static constexpr std::string_view kType = "question_request";
  struct Option {
    std::string label;
    std::optional<std::string> description;
    PARLEY_WIRE_RECORD(Option);
  };
  struct Question {
    std::string header;
    std::string text;
    bool multiSelect = false;
    std::vector<Option> options;
    PARLEY_WIRE_RECORD(Question);
  };
  std::string sessionID;
  std::string requestID;
  std::vector<Question> questions;
  Narration narration;
  PARLEY_WIRE_RECORD(QuestionRequest);
};

struct PermissionResolved {
  static constexpr std::string_view kType = "permission_resolved";
  enum class By { phone, desk, expired, refused };
  std::string requestID;
  std::optional<std::int64_t> chosenIndex;
  By by = By::phone;
  PARLEY_WIRE_RECORD(PermissionResolved);
};

struct TurnFinished {
  static constexpr std::string_view kType = "turn_finished";
  std::string sessionID;
  std::optional<std::string> promptID;
  Narration narration;
  std::optional<std::int64_t> durationMS;
  PARLEY_WIRE_RECORD(TurnFinished);
};

struct Interrupted {
  static constexpr std::string_view kType = "interrupted";
  std::string sessionID;
  std::string detectedVia;
  PARLEY_WIRE_RECORD(Interrupted);
};

struct PaneSnapshot {
  static constexpr std::string_view kType = "pane_snapshot";
  std::string sessionID;
  std::int64_t cols = 0;
  std::int64_t rows = 0;
  std::string text;
  PARLEY_WIRE_RECORD(PaneSnapshot);
};

struct TermFrame {
  static constexpr std::string_view kType = "term_frame";
  std::string sessionID;
  std::int64_t cols = 0;
  std::int64_t rows = 0;
  std::string text;
  PARLEY_WIRE_RECORD(TermFrame);
};

struct Vocab {
  static constexpr std::string_view kType = "vocab";
  std::string sessionID;
  std::vector<std::string> terms;
  PARLEY_WIRE_RECORD(Vocab);
};

struct Dropped {
  static constexpr std::string_view kType = "dropped";
  // Numbered messages from `first` to `last`, both included.
  struct SeqRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    PARLEY_WIRE_RECORD(SeqRange);
  };
  std::int64_t count = 0;
  std::vector<std::string> kinds;
  // Which messages were shed, ascending, when the sender can name them: the
  // phone has seen later ones, so it cannot ask for these again.
  std::optional<std::vector<SeqRange>> seqs;
  PARLEY_WIRE_RECORD(Dropped);
};

// Travels under the type string "error".
struct Failure {
  static constexpr std::string_view kType = "error";
  std::string code;
  std::string message;
  std::optional<std::string> sessionID;
  bool retriable = false;
  PARLEY_WIRE_RECORD(Failure);
};

struct Pong {
  static constexpr std::string_view kType = "pong";
  std::string echo;
  PARLEY_WIRE_RECORD(Pong);
};

// The answer to push_subscribe and push_unsubscribe, to that phone alone:
// whether it is now notified.
struct PushState {
  static constexpr std::string_view kType = "push_state";
  bool enabled = false;
  PARLEY_WIRE_RECORD(PushState);
};

// The answer to get_changes, to the phone that asked: what the session's
// project has changed, staged first, then unstaged, then untracked.
struct Changes {
  static constexpr std::string_view kType = "changes";
  std::string sessionID;
  // False when the session's folder is in no Git repository (files is
  // then empty).
  bool repository = false;
  std::optional<std::string> branch;  // absent on a detached HEAD
  std::vector<ChangedFile> files;
  // Changed files past the list's bound, not listed.
  std::int64_t unlisted = 0;
  PARLEY_WIRE_RECORD(Changes);
};

// The answer to get_file_diff, to the phone that asked: the file's hunks
// (each "@@" header and its " ", "-" and "+" lines), empty for a binary
// file, cut at a line's end when longer than the bound.
struct FileDiff {
  static constexpr std::string_view kType = "file_diff";
  std::string sessionID;
  ChangedFile file;
  std::string diff;
  bool truncated = false;
  PARLEY_WIRE_RECORD(FileDiff);
};

// An image the phone uploaded is stored: `imageID` goes in its prompt.
struct ImageStored {
  static constexpr std::string_view kType = "image_stored";
  std::string uploadID;
  std::string imageID;
  PARLEY_WIRE_RECORD(ImageStored);
};

// The answer to list_projects, to the phone that asked: newest activity
// first.
struct Projects {
  static constexpr std::string_view kType = "projects";
  std::vector<ProjectInfo> projects;
  PARLEY_WIRE_RECORD(Projects);
};

// The answer to list_history: the page from `offset`, newest first, of
// `total` past sessions.
struct History {
  static constexpr std::string_view kType = "history";
  std::string projectID;
  std::int64_t offset = 0;
  std::int64_t total = 0;
  std::vector<PastSession> sessions;
  PARLEY_WIRE_RECORD(History);
};

// The answer to start_session and resume_session: where the session runs.
// The session itself appears in the session list once Claude Code reports
// it; `sessionID` is known at once only when it was already live.
struct SessionStarted {
  static constexpr std::string_view kType = "session_started";
  std::string projectID;
  std::optional<std::string> historyID;
  std::optional<std::string> sessionID;
  std::string paneID;
  std::string tmuxTarget;  // "parley:3"
  std::string attach;      // the command that reaches it at the desk
  bool alreadyLive = false;
  PARLEY_WIRE_RECORD(SessionStarted);
};

template <>
struct EnumNames<TurnStarted::Origin> {
  static constexpr std::array<std::string_view, 2> names{"phone", "desk"};
};

template <>
struct EnumNames<PermissionResolved::By> {
  static constexpr std::array<std::string_view, 4> names{"phone", "desk", "expired", "refused"};
};

// The alternatives are in wire declaration order, which is also the order in
// which a decoder tries the type strings.
using ServerMessageVariant =
    std::variant<HelloAck, SessionUpdate, TurnStarted, AssistantText, ToolStarted, ToolFinished,
                 PermissionRequest, QuestionRequest, PermissionResolved, TurnFinished, Interrupted,
                 PaneSnapshot, TermFrame, Vocab, Dropped, Failure, Pong, PushState, Changes,
                 FileDiff, ImageStored, Projects, History, SessionStarted>;

struct ServerMessage : ServerMessageVariant {
  using ServerMessageVariant::ServerMessageVariant;
  explicit ServerMessage(ServerMessageVariant v) : ServerMessageVariant(std::move(v)) {}

  std::string_view type() const;
  json::object payloadJson() const;
  // Throws UnknownMessageType for a type string no case has, DecodeError for
  // a payload that does not decode as that case's record.
  static ServerMessage decode(std::string_view type, const json::value& payload);

  bool operator==(const ServerMessage& other) const {
    return static_cast<const ServerMessageVariant&>(*this) ==
           static_cast<const ServerMessageVariant&>(other);
  }
};

}  // namespace parley::protocol
