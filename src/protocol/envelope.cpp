#include "protocol/envelope.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

BOOST_DESCRIBE_STRUCT(ServerEnvelope, (), (v, seq, ts, message))
BOOST_DESCRIBE_STRUCT(ClientEnvelope, (), (v, ts, message))

json::object ServerEnvelope::toJson() const {
  return detail::encodeFields(*this);
}

std::string ServerEnvelope::encode() const {
  return json::serialize(toJson());
}

ServerEnvelope ServerEnvelope::fromJson(const json::value& value) {
  // The placeholder message is overwritten by the one read.
  return detail::decodeFields<ServerEnvelope>(value, "ServerEnvelope", std::uint64_t{0}, Date{},
                                              Pong{});
}

ServerEnvelope ServerEnvelope::decode(std::string_view text) {
  return fromJson(parseJson(text));
}

json::object ClientEnvelope::toJson() const {
  return detail::encodeFields(*this);
}

std::string ClientEnvelope::encode() const {
  return json::serialize(toJson());
}

ClientEnvelope ClientEnvelope::fromJson(const json::value& value) {
  return detail::decodeFields<ClientEnvelope>(value, "ClientEnvelope", Date{}, Ping{});
}

ClientEnvelope ClientEnvelope::decode(std::string_view text) {
  return fromJson(parseJson(text));
}

}  // namespace parley::protocol
