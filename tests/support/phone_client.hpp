#pragma once

// A real WebSocket client (Boost.Beast) for the server tests, synchronous
// with a deadline on every read so a broken server fails a test instead of
// hanging it. It answers pings only while a read is in progress, so a test
// stops answering simply by not reading.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/envelope.hpp"

namespace parley::test {

class PhoneClient {
 public:
  // Connects to 127.0.0.1:port and completes the WebSocket upgrade, as a
  // browser would with `origin` (none when empty) from a page it reached
  // as `host` (empty: 127.0.0.1:port). Throws when the upgrade is refused.
  explicit PhoneClient(std::uint16_t port, const std::string& origin = {},
                       const std::string& host = {});
  ~PhoneClient();

  void sendText(const std::string& text);
  void sendBinary(const std::string& bytes);
  void send(const protocol::ClientMessage& message, std::int64_t version = 1);
  void sendHello(const std::string& token, std::optional<std::uint64_t> lastSeq = std::nullopt);
  // An unsolicited pong frame.
  void sendPong();

  struct Incoming {
    enum class Kind { message, closed, failed } kind = Kind::failed;
    std::string text;
    std::uint16_t closeCode = 0;  // for `closed`
    std::string error;            // for `failed`
  };
  // The next message, or how the connection ended (a deadline counts as
  // failed).
  Incoming next(std::chrono::milliseconds deadline = std::chrono::seconds(10));

  // Fail the calling test when the next thing is not what is expected.
  protocol::ServerEnvelope expectEnvelope(
      std::chrono::milliseconds deadline = std::chrono::seconds(10));
  template <class T>
  T expect(std::uint64_t* seq = nullptr);
  std::uint16_t expectClose();

  // Sends a protocol ping and returns every message up to its pong: after
  // it, the server has handled everything this client sent before.
  std::vector<protocol::ServerEnvelope> untilPong(const std::string& nonce = "barrier");

  int pingsReceived() const { return pings_; }

 private:
  boost::asio::io_context io_;
  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  int pings_ = 0;
};

template <class T>
T PhoneClient::expect(std::uint64_t* seq) {
  const protocol::ServerEnvelope envelope = expectEnvelope();
  if (seq != nullptr)
    *seq = envelope.seq;
  if (const T* value = std::get_if<T>(&envelope.message))
    return *value;
  ADD_FAILURE() << "expected " << T::kType << ", got " << envelope.message.type() << ": "
                << envelope.encode();
  return T{};
}

}  // namespace parley::test
