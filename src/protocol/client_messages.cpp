#include "protocol/client_messages.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(Hello, token, deviceID, appVersion, lastSeq)
PARLEY_WIRE_FIELDS(SubmitPrompt, clientMsgID, sessionID, text, submit, confidence, images)
PARLEY_WIRE_FIELDS(Interrupt, sessionID)
PARLEY_WIRE_FIELDS(PermissionAnswer, clientMsgID, requestID, nonce, optionIndex)
PARLEY_WIRE_FIELDS(QuestionAnswer, clientMsgID, sessionID, requestID, questionIndex, optionIndex,
                   expectedLabel)
PARLEY_WIRE_FIELDS(SendKey, sessionID, key)
PARLEY_WIRE_FIELDS(GetPane, sessionID, lines)
PARLEY_WIRE_FIELDS(GetDetail, ref)
PARLEY_WIRE_FIELDS(Focus, sessionID)
PARLEY_WIRE_FIELDS(SetPrefs, ttsEnabled, verbosity, speakTools)
PARLEY_WIRE_FIELDS(TermInput, sessionID, text, key)
PARLEY_WIRE_FIELDS(TermSubscribe, sessionID, active)
PARLEY_WIRE_FIELDS(Ping, nonce)
PARLEY_WIRE_FIELDS(PushSubscribe, endpoint, p256dh, auth)
PARLEY_WIRE_FIELDS(PushUnsubscribe)
PARLEY_WIRE_FIELDS(GetChanges, sessionID)
PARLEY_WIRE_FIELDS(GetFileDiff, sessionID, path, area)
PARLEY_WIRE_FIELDS(UploadImage, uploadID, sessionID, part, last, data)
PARLEY_WIRE_FIELDS(ListProjects)
PARLEY_WIRE_FIELDS(ListHistory, projectID, offset)
PARLEY_WIRE_FIELDS(StartSession, clientMsgID, projectID, prompt)
PARLEY_WIRE_FIELDS(ResumeSession, clientMsgID, historyID)
PARLEY_WIRE_FIELDS(StopSession, clientMsgID, sessionID)
PARLEY_WIRE_FIELDS(SetMode, clientMsgID, sessionID, mode)

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
