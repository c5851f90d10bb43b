#include "phone_drain.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <stdexcept>

#include "protocol/envelope.hpp"

namespace parley::soak {

namespace asio = boost::asio;
namespace beast = boost::beast;

PhoneDrain::PhoneDrain(std::uint16_t port, const std::string& token) : ws_(io_) {
  beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
  beast::get_lowest_layer(ws_).connect(
      asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  ws_.read_message_max(64 * 1024 * 1024);
  ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
  ws_.text(true);
  const protocol::ClientEnvelope hello(
      std::chrono::system_clock::now(),
      protocol::Hello{.token = token, .deviceID = "phone", .appVersion = "1.0"});
  ws_.write(asio::buffer(hello.encode()));
  while (true) {
    ws_.read(buffer_);
    const std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (std::holds_alternative<protocol::HelloAck>(protocol::ServerEnvelope::decode(text).message))
      break;
  }
  beast::get_lowest_layer(ws_).expires_never();
  readNext();
  thread_ = std::thread([this] { io_.run(); });
}

PhoneDrain::~PhoneDrain() {
  asio::post(io_, [this] {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  });
  thread_.join();
}

void PhoneDrain::countToolStarts(const std::string& prefix) {
  std::lock_guard lock(mutex_);
  prefix_ = prefix;
  seen_.clear();
}

std::size_t PhoneDrain::toolStarts() const {
  std::lock_guard lock(mutex_);
  return seen_.size();
}

void PhoneDrain::readNext() {
  ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t) {
    if (ec) {
      ending_ = ec == beast::websocket::error::closed
                    ? "closed " + std::to_string(ws_.reason().code)
                    : ec.message();
      ended_ = true;
      return;
    }
    try {
      handle(beast::buffers_to_string(buffer_.data()));
    } catch (const std::exception&) {
      ++undecodable_;
    }
    buffer_.consume(buffer_.size());
    readNext();
  });
}

void PhoneDrain::handle(const std::string& text) {
  ++messages_;
  const protocol::ServerEnvelope envelope = protocol::ServerEnvelope::decode(text);
  if (std::holds_alternative<protocol::SessionUpdate>(envelope.message)) {
    ++sessionUpdates_;
  } else if (const auto* dropped = std::get_if<protocol::Dropped>(&envelope.message)) {
    shed_ += static_cast<std::uint64_t>(dropped->count);
  } else if (const auto* tool = std::get_if<protocol::ToolStarted>(&envelope.message)) {
    std::lock_guard lock(mutex_);
    if (!prefix_.empty() && tool->toolUseID.rfind(prefix_, 0) == 0)
      seen_.insert(std::stoull(tool->toolUseID.substr(prefix_.size())));
  }
}

}  // namespace parley::soak
