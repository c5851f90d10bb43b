#pragma once

// A synchronous phone for the soak runs; every read has a deadline, and a
// missed deadline ends the connection (the caller counts it).

#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <string>

#include "protocol/envelope.hpp"

namespace parley::soak {

class Phone {
 public:
  explicit Phone(std::uint16_t port) : ws_(io_) {
    namespace asio = boost::asio;
    boost::beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
    boost::beast::get_lowest_layer(ws_).connect(
        asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws_.read_message_max(64 * 1024 * 1024);
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
    ws_.text(true);
  }

  void send(const protocol::ClientMessage& message) {
    boost::beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
    ws_.write(boost::asio::buffer(
        protocol::ClientEnvelope(std::chrono::system_clock::now(), message).encode()));
  }

  protocol::ServerEnvelope next() {
    boost::beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(30));
    ws_.read(buffer_);
    const std::string text = boost::beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return protocol::ServerEnvelope::decode(text);
  }

  // Leaves as a phone that loses its network does: a reset, no close frame,
  // whatever is still on its way unread.
  void abort() {
    auto& socket = boost::beast::get_lowest_layer(ws_).socket();
    const ::linger reset{.l_onoff = 1, .l_linger = 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    boost::system::error_code ignored;
    socket.close(ignored);
  }

 private:
  boost::asio::io_context io_;
  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
};

inline bool isPong(const protocol::ServerEnvelope& envelope, const std::string& nonce) {
  const auto* pong = std::get_if<protocol::Pong>(&envelope.message);
  return pong != nullptr && pong->echo == nonce;
}

}  // namespace parley::soak
