#include "protocol/server_messages.hpp"

namespace parley::protocol {

HelloAck HelloAck::fromJson(const json::value& value) {
  const ObjectReader r(value, "HelloAck");
  HelloAck m;
  r.get("serverVersion", m.serverVersion);
  r.get("resumedFromSeq", m.resumedFromSeq);
  r.get("gap", m.gap);
  r.get("sessions", m.sessions);
  return m;
}

json::object HelloAck::toJson() const {
  return ObjectWriter()
      .put("serverVersion", serverVersion)
      .put("resumedFromSeq", resumedFromSeq)
      .put("gap", gap)
      .put("sessions", sessions)
      .take();
}

SessionUpdate SessionUpdate::fromJson(const json::value& value) {
  const ObjectReader r(value, "SessionUpdate");
  SessionUpdate m;
  r.get("sessions", m.sessions);
  return m;
}

json::object SessionUpdate::toJson() const {
  return ObjectWriter().put("sessions", sessions).take();
}

TurnStarted TurnStarted::fromJson(const json::value& value) {
  const ObjectReader r(value, "TurnStarted");
  TurnStarted m;
  r.get("sessionID", m.sessionID);
  r.get("promptID", m.promptID);
  r.get("prompt", m.prompt);
  r.get("origin", m.origin);
  return m;
}

json::object TurnStarted::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("promptID", promptID)
      .put("prompt", prompt)
      .put("origin", origin)
      .take();
}

AssistantText AssistantText::fromJson(const json::value& value) {
  const ObjectReader r(value, "AssistantText");
  AssistantText m;
  r.get("sessionID", m.sessionID);
  r.get("messageUUID", m.messageUUID);
  r.get("narration", m.narration);
  r.get("final", m.final);
  r.get("isSidechain", m.isSidechain);
  return m;
}

json::object AssistantText::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("messageUUID", messageUUID)
      .put("narration", narration)
      .put("final", final)
      .put("isSidechain", isSidechain)
      .take();
}

ToolStarted ToolStarted::fromJson(const json::value& value) {
  const ObjectReader r(value, "ToolStarted");
  ToolStarted m;
  r.get("sessionID", m.sessionID);
  r.get("toolUseID", m.toolUseID);
  r.get("toolName", m.toolName);
  r.get("narration", m.narration);
  return m;
}

json::object ToolStarted::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("toolUseID", toolUseID)
      .put("toolName", toolName)
      .put("narration", narration)
      .take();
}

ToolFinished ToolFinished::fromJson(const json::value& value) {
  const ObjectReader r(value, "ToolFinished");
  ToolFinished m;
  r.get("sessionID", m.sessionID);
  r.get("toolUseID", m.toolUseID);
  r.get("ok", m.ok);
  r.get("summary", m.summary);
  r.get("truncated", m.truncated);
  r.get("detailRef", m.detailRef);
  r.get("durationMS", m.durationMS);
  return m;
}

json::object ToolFinished::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("toolUseID", toolUseID)
      .put("ok", ok)
      .put("summary", summary)
      .put("truncated", truncated)
      .put("detailRef", detailRef)
      .put("durationMS", durationMS)
      .take();
}

PermissionRequest PermissionRequest::fromJson(const json::value& value) {
  const ObjectReader r(value, "PermissionRequest");
  PermissionRequest m;
  r.get("sessionID", m.sessionID);
  r.get("requestID", m.requestID);
  r.get("nonce", m.nonce);
  r.get("toolName", m.toolName);
  r.get("detail", m.detail);
  r.get("description", m.description);
  r.get("options", m.options);
  r.get("tier", m.tier);
  r.get("narration", m.narration);
  return m;
}

json::object PermissionRequest::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("requestID", requestID)
      .put("nonce", nonce)
      .put("toolName", toolName)
      .put("detail", detail)
      .put("description", description)
      .put("options", options)
      .put("tier", tier)
      .put("narration", narration)
      .take();
}

QuestionRequest::Option QuestionRequest::Option::fromJson(const json::value& value) {
  const ObjectReader r(value, "QuestionRequest.Option");
  Option o;
  r.get("label", o.label);
  r.get("description", o.description);
  return o;
}

json::object QuestionRequest::Option::toJson() const {
  return ObjectWriter().put("label", label).put("description", description).take();
}

QuestionRequest::Question QuestionRequest::Question::fromJson(const json::value& value) {
  const ObjectReader r(value, "QuestionRequest.Question");
  Question q;
  r.get("header", q.header);
  r.get("text", q.text);
  r.get("multiSelect", q.multiSelect);
  r.get("options", q.options);
  return q;
}

json::object QuestionRequest::Question::toJson() const {
  return ObjectWriter()
      .put("header", header)
      .put("text", text)
      .put("multiSelect", multiSelect)
      .put("options", options)
      .take();
}

QuestionRequest QuestionRequest::fromJson(const json::value& value) {
  const ObjectReader r(value, "QuestionRequest");
  QuestionRequest m;
  r.get("sessionID", m.sessionID);
  r.get("requestID", m.requestID);
  r.get("questions", m.questions);
  r.get("narration", m.narration);
  return m;
}

json::object QuestionRequest::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("requestID", requestID)
      .put("questions", questions)
      .put("narration", narration)
      .take();
}

PermissionResolved PermissionResolved::fromJson(const json::value& value) {
  const ObjectReader r(value, "PermissionResolved");
  PermissionResolved m;
  r.get("requestID", m.requestID);
  r.get("chosenIndex", m.chosenIndex);
  r.get("by", m.by);
  return m;
}

json::object PermissionResolved::toJson() const {
  return ObjectWriter()
      .put("requestID", requestID)
      .put("chosenIndex", chosenIndex)
      .put("by", by)
      .take();
}

TurnFinished TurnFinished::fromJson(const json::value& value) {
  const ObjectReader r(value, "TurnFinished");
  TurnFinished m;
  r.get("sessionID", m.sessionID);
  r.get("promptID", m.promptID);
  r.get("narration", m.narration);
  r.get("durationMS", m.durationMS);
  return m;
}

json::object TurnFinished::toJson() const {
  return ObjectWriter()
      .put("sessionID", sessionID)
      .put("promptID", promptID)
      .put("narration", narration)
      .put("durationMS", durationMS)
      .take();
}

Interrupted Interrupted::fromJson(const json::value& value) {
  const ObjectReader r(value, "Interrupted");
  Interrupted m;
  r.get("sessionID", m.sessionID);
  r.get("detectedVia", m.detectedVia);
  return m;
}

json::object Interrupted::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("detectedVia", detectedVia).take();
}

namespace {
// Pane snapshots and terminal frames share one shape.
template <class T>
T decodeScreen(const json::value& value, std::string_view what) {
  const ObjectReader r(value, what);
  T m;
  r.get("sessionID", m.sessionID);
  r.get("cols", m.cols);
  r.get("rows", m.rows);
  r.get("text", m.text);
  return m;
}

template <class T>
json::object encodeScreen(const T& m) {
  return ObjectWriter()
      .put("sessionID", m.sessionID)
      .put("cols", m.cols)
      .put("rows", m.rows)
      .put("text", m.text)
      .take();
}
}  // namespace

PaneSnapshot PaneSnapshot::fromJson(const json::value& value) {
  return decodeScreen<PaneSnapshot>(value, "PaneSnapshot");
}

json::object PaneSnapshot::toJson() const {
  return encodeScreen(*this);
}

TermFrame TermFrame::fromJson(const json::value& value) {
  return decodeScreen<TermFrame>(value, "TermFrame");
}

json::object TermFrame::toJson() const {
  return encodeScreen(*this);
}

Vocab Vocab::fromJson(const json::value& value) {
  const ObjectReader r(value, "Vocab");
  Vocab m;
  r.get("sessionID", m.sessionID);
  r.get("terms", m.terms);
  return m;
}

json::object Vocab::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("terms", terms).take();
}

Dropped Dropped::fromJson(const json::value& value) {
  const ObjectReader r(value, "Dropped");
  Dropped m;
  r.get("count", m.count);
  r.get("kinds", m.kinds);
  return m;
}

json::object Dropped::toJson() const {
  return ObjectWriter().put("count", count).put("kinds", kinds).take();
}

Failure Failure::fromJson(const json::value& value) {
  const ObjectReader r(value, "Failure");
  Failure m;
  r.get("code", m.code);
  r.get("message", m.message);
  r.get("sessionID", m.sessionID);
  r.get("retriable", m.retriable);
  return m;
}

json::object Failure::toJson() const {
  return ObjectWriter()
      .put("code", code)
      .put("message", message)
      .put("sessionID", sessionID)
      .put("retriable", retriable)
      .take();
}

Pong Pong::fromJson(const json::value& value) {
  const ObjectReader r(value, "Pong");
  Pong m;
  r.get("echo", m.echo);
  return m;
}

json::object Pong::toJson() const {
  return ObjectWriter().put("echo", echo).take();
}

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
