#include "protocol/envelope.hpp"

namespace parley::protocol {

namespace {

// Reads "type" and "payload" and decodes the message they carry. An unknown
// type is reported as such even when the payload is also bad, so the receiver
// can tell a newer phone from a broken one.
template <class Message>
Message decodeMessage(const ObjectReader& r, std::string_view what) {
  std::string type;
  r.get("type", type);
  const json::value* payload = r.object().if_contains("payload");
  static const json::value missing;
  try {
    return Message::decode(type, payload != nullptr ? *payload : missing);
  } catch (const UnknownMessageType&) {
    throw;
  } catch (const DecodeError& e) {
    if (payload == nullptr)
      throw DecodeError(std::string(what) + ".payload: missing");
    throw DecodeError(std::string(what) + ".payload: " + e.what());
  }
}

}  // namespace

json::object ServerEnvelope::toJson() const {
  return ObjectWriter()
      .put("v", v)
      .put("seq", seq)
      .put("ts", ts)
      .put("type", std::string(message.type()))
      .put("payload", json::value(message.payloadJson()))
      .take();
}

std::string ServerEnvelope::encode() const {
  return json::serialize(toJson());
}

ServerEnvelope ServerEnvelope::fromJson(const json::value& value) {
  const ObjectReader r(value, "ServerEnvelope");
  std::int64_t v = 0;
  std::uint64_t seq = 0;
  Date ts;
  r.get("v", v);
  r.get("seq", seq);
  r.get("ts", ts);
  ServerEnvelope envelope(seq, ts, decodeMessage<ServerMessage>(r, "ServerEnvelope"));
  envelope.v = v;
  return envelope;
}

ServerEnvelope ServerEnvelope::decode(std::string_view text) {
  return fromJson(parseJson(text));
}

json::object ClientEnvelope::toJson() const {
  return ObjectWriter()
      .put("v", v)
      .put("ts", ts)
      .put("type", std::string(message.type()))
      .put("payload", json::value(message.payloadJson()))
      .take();
}

std::string ClientEnvelope::encode() const {
  return json::serialize(toJson());
}

ClientEnvelope ClientEnvelope::fromJson(const json::value& value) {
  const ObjectReader r(value, "ClientEnvelope");
  std::int64_t v = 0;
  Date ts;
  r.get("v", v);
  r.get("ts", ts);
  ClientEnvelope envelope(ts, decodeMessage<ClientMessage>(r, "ClientEnvelope"));
  envelope.v = v;
  return envelope;
}

ClientEnvelope ClientEnvelope::decode(std::string_view text) {
  return fromJson(parseJson(text));
}

}  // namespace parley::protocol
