#include "protocol/server_messages.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(HelloAck, serverVersion, resumedFromSeq, gap, sessions, vapidPublicKey)
PARLEY_WIRE_FIELDS(SessionUpdate, sessions)
PARLEY_WIRE_FIELDS(TurnStarted, sessionID, promptID, prompt, origin)
PARLEY_WIRE_FIELDS(AssistantText, sessionID, messageUUID, narration, final, isSidechain)
PARLEY_WIRE_FIELDS(ToolStarted, sessionID, toolUseID, toolName, narration)
PARLEY_WIRE_FIELDS(ToolFinished, sessionID, toolUseID, ok, summary, truncated, detailRef,
                   durationMS)
PARLEY_WIRE_FIELDS(PermissionRequest, sessionID, requestID, nonce, toolName, detail, description,
                   options, tier, narration)
PARLEY_WIRE_FIELDS(QuestionRequest::Option, label, description)
PARLEY_WIRE_FIELDS(QuestionRequest::Question, header, text, multiSelect, options)
PARLEY_WIRE_FIELDS(QuestionRequest, sessionID, requestID, questions, narration)
PARLEY_WIRE_FIELDS(PermissionResolved, requestID, chosenIndex, by)
PARLEY_WIRE_FIELDS(TurnFinished, sessionID, promptID, narration, durationMS)
PARLEY_WIRE_FIELDS(Interrupted, sessionID, detectedVia)
PARLEY_WIRE_FIELDS(PaneSnapshot, sessionID, cols, rows, text)
PARLEY_WIRE_FIELDS(TermFrame, sessionID, cols, rows, text)
PARLEY_WIRE_FIELDS(Vocab, sessionID, terms)
PARLEY_WIRE_FIELDS(Dropped::SeqRange, first, last)
PARLEY_WIRE_FIELDS(Dropped, count, kinds, seqs)
PARLEY_WIRE_FIELDS(Failure, code, message, sessionID, retriable)
PARLEY_WIRE_FIELDS(Pong, echo)
PARLEY_WIRE_FIELDS(PushState, enabled)
PARLEY_WIRE_FIELDS(Changes, sessionID, repository, branch, files, unlisted)
PARLEY_WIRE_FIELDS(FileDiff, sessionID, file, diff, truncated)
PARLEY_WIRE_FIELDS(ImageStored, uploadID, imageID)
PARLEY_WIRE_FIELDS(Projects, projects)
PARLEY_WIRE_FIELDS(History, projectID, offset, total, sessions)
PARLEY_WIRE_FIELDS(SessionStarted, projectID, historyID, sessionID, paneID, tmuxTarget, attach,
                   alreadyLive)

std::string_view ServerMessage::type() const {
  return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kType; }, *this);
}

json::object ServerMessage::payloadJson() const {
  return std::visit([](const auto& m) { return m.toJson(); }, *this);
}

ServerMessage ServerMessage::decode(std::string_view type, const json::value& payload) {
  return ServerMessage(detail::decodeByType<ServerMessageVariant>(type, payload));
}

}  // namespace parley::protocol
