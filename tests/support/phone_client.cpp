#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>

#include "support/phone_client.hpp"

namespace parley::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

PhoneClient::PhoneClient(std::uint16_t port, const std::string& origin, const std::string& host)
    : ws_(io_) {
  beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
  beast::get_lowest_layer(ws_).connect(
      asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  ws_.read_message_max(64 * 1024 * 1024);
  ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::ping)
      ++pings_;
  });
  if (!origin.empty()) {
    ws_.set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& request) { request.set("Origin", origin); }));
  }
  ws_.handshake(host.empty() ? "127.0.0.1:" + std::to_string(port) : host, "/");
  beast::get_lowest_layer(ws_).expires_never();
}

PhoneClient::~PhoneClient() {
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().close(ignored);
}

void PhoneClient::sendText(const std::string& text) {
  ws_.text(true);
  ws_.write(asio::buffer(text));
}

void PhoneClient::sendBinary(const std::string& bytes) {
  ws_.binary(true);
  ws_.write(asio::buffer(bytes));
}

void PhoneClient::send(const protocol::ClientMessage& message, std::int64_t version) {
  protocol::ClientEnvelope envelope(std::chrono::system_clock::now(), message);
  envelope.v = version;
  sendText(envelope.encode());
}

void PhoneClient::sendHello(const std::string& token, std::optional<std::uint64_t> lastSeq) {
  send(protocol::Hello{
      .token = token, .deviceID = "phone", .appVersion = "1.0", .lastSeq = lastSeq});
}

void PhoneClient::sendPong() {
  ws_.pong({});
}

PhoneClient::Incoming PhoneClient::next(std::chrono::milliseconds deadline) {
  Incoming incoming;
  bool done = false;
  beast::get_lowest_layer(ws_).expires_after(deadline);
  ws_.async_read(buffer_, [&](beast::error_code ec, std::size_t) {
    done = true;
    if (!ec) {
      incoming.kind = Incoming::Kind::message;
      incoming.text = beast::buffers_to_string(buffer_.data());
      buffer_.consume(buffer_.size());
    } else if (ec == websocket::error::closed) {
      incoming.kind = Incoming::Kind::closed;
      incoming.closeCode = ws_.reason().code;
    } else {
      incoming.error = ec.message();
    }
  });
  io_.restart();
  while (!done && io_.run_one() > 0) {
  }
  beast::get_lowest_layer(ws_).expires_never();
  return incoming;
}

protocol::ServerEnvelope PhoneClient::expectEnvelope(std::chrono::milliseconds deadline) {
  const Incoming incoming = next(deadline);
  if (incoming.kind != Incoming::Kind::message) {
    ADD_FAILURE() << "expected a message, got "
                  << (incoming.kind == Incoming::Kind::closed
                          ? "close " + std::to_string(incoming.closeCode)
                          : "failure: " + incoming.error);
    return protocol::ServerEnvelope(0, {}, protocol::Pong{});
  }
  try {
    return protocol::ServerEnvelope::decode(incoming.text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "undecodable server frame " << incoming.text << ": " << e.what();
    return protocol::ServerEnvelope(0, {}, protocol::Pong{});
  }
}

std::uint16_t PhoneClient::expectClose() {
  const Incoming incoming = next();
  EXPECT_EQ(incoming.kind, Incoming::Kind::closed)
      << "got " << (incoming.kind == Incoming::Kind::message ? incoming.text : incoming.error);
  return incoming.closeCode;
}

std::vector<protocol::ServerEnvelope> PhoneClient::untilPong(const std::string& nonce) {
  send(protocol::Ping{.nonce = nonce});
  std::vector<protocol::ServerEnvelope> before;
  while (true) {
    protocol::ServerEnvelope envelope = expectEnvelope();
    if (const auto* pong = std::get_if<protocol::Pong>(&envelope.message);
        pong != nullptr && pong->echo == nonce)
      return before;
    if (::testing::Test::HasFailure())
      return before;
    before.push_back(std::move(envelope));
  }
}

}  // namespace parley::test
