#pragma once

// One WebSocket text frame carries exactly one envelope: a JSON object with
// "v", ("seq",) "ts", "type" and "payload".

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/client_messages.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol {

struct ServerEnvelope {
  std::int64_t v = Wire::version;
  std::uint64_t seq = 0;
  Date ts;
  ServerMessage message;

  ServerEnvelope(std::uint64_t sequence, Date time, ServerMessage body)
      : seq(sequence), ts(time), message(std::move(body)) {}

  json::object toJson() const;
  // Compact JSON text, keys in wire order.
  std::string encode() const;
  // The version is not judged here; the receiver does that. Throws
  // UnknownMessageType or DecodeError; nothing is partially decoded.
  static ServerEnvelope fromJson(const json::value& value);
  static ServerEnvelope decode(std::string_view text);

  bool operator==(const ServerEnvelope&) const = default;
};

struct ClientEnvelope {
  std::int64_t v = Wire::version;
  Date ts;
  ClientMessage message;

  ClientEnvelope(Date time, ClientMessage body) : ts(time), message(std::move(body)) {}

  json::object toJson() const;
  std::string encode() const;
  static ClientEnvelope fromJson(const json::value& value);
  static ClientEnvelope decode(std::string_view text);

  bool operator==(const ClientEnvelope&) const = default;
};

}  // namespace parley::protocol
