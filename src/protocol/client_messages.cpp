#include "protocol/client_messages.hpp"

namespace parley::protocol {

Hello Hello::fromJson(const json::value& value) {
  const ObjectReader r(value, "Hello");
  Hello m;
  r.get("token", m.token);
  r.get("deviceID", m.deviceID);
  r.get("appVersion", m.appVersion);
  r.get("lastSeq", m.lastSeq);
  return m;
}

json::object Hello::toJson() const {
  return ObjectWriter()
      .put("token", token)
      .put("deviceID", deviceID)
      .put("appVersion", appVersion)
      .put("lastSeq", lastSeq)
      .take();
}

SubmitPrompt SubmitPrompt::fromJson(const json::value& value) {
  const ObjectReader r(value, "SubmitPrompt");
  SubmitPrompt m;
  r.get("clientMsgID", m.clientMsgID);
  r.get("sessionID", m.sessionID);
  r.get("text", m.text);
  r.get("submit", m.submit);
  r.get("confidence", m.confidence);
  return m;
}

json::object SubmitPrompt::toJson() const {
  return ObjectWriter()
      .put("clientMsgID", clientMsgID)
      .put("sessionID", sessionID)
      .put("text", text)
      .put("submit", submit)
      .put("confidence", confidence)
      .take();
}

Interrupt Interrupt::fromJson(const json::value& value) {
  const ObjectReader r(value, "Interrupt");
  Interrupt m;
  r.get("sessionID", m.sessionID);
  return m;
}

json::object Interrupt::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).take();
}

PermissionAnswer PermissionAnswer::fromJson(const json::value& value) {
  const ObjectReader r(value, "PermissionAnswer");
  PermissionAnswer m;
  r.get("clientMsgID", m.clientMsgID);
  r.get("requestID", m.requestID);
  r.get("nonce", m.nonce);
  r.get("optionIndex", m.optionIndex);
  return m;
}

json::object PermissionAnswer::toJson() const {
  return ObjectWriter()
      .put("clientMsgID", clientMsgID)
      .put("requestID", requestID)
      .put("nonce", nonce)
      .put("optionIndex", optionIndex)
      .take();
}

QuestionAnswer QuestionAnswer::fromJson(const json::value& value) {
  const ObjectReader r(value, "QuestionAnswer");
  QuestionAnswer m;
  r.get("clientMsgID", m.clientMsgID);
  r.get("sessionID", m.sessionID);
  r.get("requestID", m.requestID);
  r.get("questionIndex", m.questionIndex);
  r.get("optionIndex", m.optionIndex);
  r.get("expectedLabel", m.expectedLabel);
  return m;
}

json::object QuestionAnswer::toJson() const {
  return ObjectWriter()
      .put("clientMsgID", clientMsgID)
      .put("sessionID", sessionID)
      .put("requestID", requestID)
      .put("questionIndex", questionIndex)
      .put("optionIndex", optionIndex)
      .put("expectedLabel", expectedLabel)
      .take();
}

SendKey SendKey::fromJson(const json::value& value) {
  const ObjectReader r(value, "SendKey");
  SendKey m;
  r.get("sessionID", m.sessionID);
  r.get("key", m.key);
  return m;
}

json::object SendKey::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("key", key).take();
}

GetPane GetPane::fromJson(const json::value& value) {
  const ObjectReader r(value, "GetPane");
  GetPane m;
  r.get("sessionID", m.sessionID);
  r.get("lines", m.lines);
  return m;
}

json::object GetPane::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("lines", lines).take();
}

GetDetail GetDetail::fromJson(const json::value& value) {
  const ObjectReader r(value, "GetDetail");
  GetDetail m;
  r.get("ref", m.ref);
  return m;
}

json::object GetDetail::toJson() const {
  return ObjectWriter().put("ref", ref).take();
}

Focus Focus::fromJson(const json::value& value) {
  const ObjectReader r(value, "Focus");
  Focus m;
  r.get("sessionID", m.sessionID);
  return m;
}

json::object Focus::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).take();
}

SetPrefs SetPrefs::fromJson(const json::value& value) {
  const ObjectReader r(value, "SetPrefs");
  SetPrefs m;
  r.get("ttsEnabled", m.ttsEnabled);
  r.get("verbosity", m.verbosity);
  r.get("speakTools", m.speakTools);
  return m;
}

json::object SetPrefs::toJson() const {
  return ObjectWriter()
      .put("ttsEnabled", ttsEnabled)
      .put("verbosity", verbosity)
      .put("speakTools", speakTools)
      .take();
}

TermInput TermInput::fromJson(const json::value& value) {
  const ObjectReader r(value, "TermInput");
  TermInput m;
  r.get("sessionID", m.sessionID);
  r.get("text", m.text);
  r.get("key", m.key);
  return m;
}

json::object TermInput::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("text", text).put("key", key).take();
}

TermSubscribe TermSubscribe::fromJson(const json::value& value) {
  const ObjectReader r(value, "TermSubscribe");
  TermSubscribe m;
  r.get("sessionID", m.sessionID);
  r.get("active", m.active);
  return m;
}

json::object TermSubscribe::toJson() const {
  return ObjectWriter().put("sessionID", sessionID).put("active", active).take();
}

Ping Ping::fromJson(const json::value& value) {
  const ObjectReader r(value, "Ping");
  Ping m;
  r.get("nonce", m.nonce);
  return m;
}

json::object Ping::toJson() const {
  return ObjectWriter().put("nonce", nonce).take();
}

std::string_view ClientMessage::type() const {
  return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kType; }, *this);
}

json::object ClientMessage::payloadJson() const {
  return std::visit([](const auto& m) { return m.toJson(); }, *this);
}

std::optional<std::string> ClientMessage::clientMsgID() const {
  return std::visit(
      [](const auto& m) -> std::optional<std::string> {
        if constexpr (requires { m.clientMsgID; })
          return m.clientMsgID;
        else
          return std::nullopt;
      },
      *this);
}

ClientMessage ClientMessage::decode(std::string_view type, const json::value& payload) {
  return ClientMessage(detail::decodeByType<ClientMessageVariant>(type, payload));
}

}  // namespace parley::protocol
