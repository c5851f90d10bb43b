#include "link/peer.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket.hpp>

#include "link/page_origin.hpp"
#include "link/static_site.hpp"
#include "text/printable.hpp"

namespace parley::link {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;

std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint) {
  asio::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address.to_string() + ":" + std::to_string(endpoint.port());
}

Peer::Peer(asio::ip::tcp::socket socket, Options options)
    : ws_(std::move(socket)),
      options_(options),
      outbound_(options.outboundCapacity),
      // Bounds what a request may make us hold, whatever the parser's limits.
      requestBuffer_(options.maxRequestHeaderSize + options.maxRequestBodySize),
      helloTimer_(ws_.get_executor()),
      heartbeat_(ws_.get_executor()),
      pongTimer_(ws_.get_executor()),
      graceTimer_(ws_.get_executor()) {
  beast::error_code ec;
  const auto remote = ws_.next_layer().remote_endpoint(ec);
  remoteDescription_ = ec ? "unknown" : describeEndpoint(remote);
}

void Peer::start() {
  auto& socket = ws_.next_layer();
  beast::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  // Keep-alive probes after 15 idle seconds notice a phone that vanished
  // without closing (sleep, lost network) even between pings.
  const int idleSeconds = 15;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);

  ws_.auto_fragment(false);  // one frame per message
  ws_.text(true);
  std::weak_ptr<Peer> weak = weak_from_this();
  ws_.control_callback([weak](websocket::frame_type kind, beast::string_view) {
    if (kind != websocket::frame_type::pong)
      return;
    if (auto self = weak.lock())
      self->onPong();
  });

  helloTimer_.expires_after(options_.helloDeadline);
  helloTimer_.async_wait([weak](beast::error_code ec) {
    auto self = weak.lock();
    if (!ec && self && !self->authenticated_)
      self->close(4401);
  });

  readRequest();
}

void Peer::readRequest() {
  request_.emplace();
  request_->header_limit(options_.maxRequestHeaderSize);
  request_->body_limit(options_.maxRequestBodySize);
  http::async_read(
      ws_.next_layer(), requestBuffer_, *request_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRequest(ec); });
}

void Peer::onRequest(beast::error_code ec) {
  if (tornDown_)
    return;
  if (ec == http::error::end_of_stream) {
    teardown("client closed");
    return;
  }
  if (ec) {
    teardown("unreadable request: " + ec.message());
    return;
  }
  http::request<http::string_body> request = request_->release();
  request_.reset();
  const bool upgrade = websocket::is_upgrade(request);
  const std::string_view origin = request[http::field::origin];
  if (upgrade && pageOriginAllowed(origin, request[http::field::host], options_.tailnet)) {
    ws_.async_accept(request, beast::bind_front_handler(&Peer::onAccepted, shared_from_this()));
    return;
  }
  if (upgrade) {
    refusal_ = std::string("refused a page from ").append(text::printable(origin, 120));
    response_ = StaticSite::Response(http::status::forbidden, request.version());
    response_.set(http::field::content_type, "text/plain; charset=utf-8");
    response_.body() = "This page may not open the phone link.\n";
    StaticSite::secure(response_, options_.tailnet);
    response_.prepare_payload();
    response_.keep_alive(false);
  } else {
    servedPages_ = true;
    response_ = StaticSite(options_.site, options_.tailnet).respond(request);
    response_.keep_alive(request.keep_alive());
  }
  http::async_write(ws_.next_layer(), response_,
                    [self = shared_from_this()](beast::error_code written, std::size_t) {
                      self->onResponded(written);
                    });
}

void Peer::onResponded(beast::error_code ec) {
  if (tornDown_)
    return;
  if (ec)
    teardown("send error: " + ec.message());
  else if (response_.keep_alive())
    readRequest();
  else
    teardown(refusal_.empty() ? "page served" : refusal_);
}

void Peer::onAccepted(beast::error_code ec) {
  if (tornDown_)
    return;
  if (ec) {
    teardown("failed: " + ec.message());
    return;
  }
  accepted_ = true;
  readNext();
  pump();
}

void Peer::readNext() {
  ws_.read_message_max(authenticated_ ? options_.maxMessageSize
                                      : options_.maxUnauthenticatedMessageSize);
  ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    self->onRead(ec);
  });
}

void Peer::onRead(beast::error_code ec) {
  if (tornDown_)
    return;
  if (ec == websocket::error::closed) {
    teardown("client closed");
    return;
  }
  if (ec) {
    teardown("receive error: " + ec.message());
    return;
  }
  std::string body = beast::buffers_to_string(readBuffer_.data());
  readBuffer_.consume(readBuffer_.size());
  if (!body.empty() && onFrame)
    onFrame(std::move(body));
  if (!tornDown_)
    readNext();
}

void Peer::onPong() {
  ++pongGeneration_;
  pongTimer_.cancel();
  if (pingSentAt_) {
    const double seconds = std::chrono::duration<double>(Clock::now() - *pingSentAt_).count();
    pingSentAt_.reset();
    if (onLatency)
      onLatency(seconds);
  }
  if (!framesAtPing_.empty()) {
    const std::uint64_t frames = framesAtPing_.front();
    framesAtPing_.pop_front();
    if (onReadThrough && !tornDown_)
      onReadThrough(frames);
  }
}

void Peer::authenticate(std::string deviceID) {
  authenticated_ = true;
  deviceID_ = std::move(deviceID);
  helloTimer_.cancel();
}

std::vector<protocol::ServerEnvelope> Peer::send(protocol::ServerEnvelope envelope) {
  if (tornDown_)
    return {};
  std::vector<protocol::ServerEnvelope> shed = outbound_.push(std::move(envelope));
  if (outbound_.count() > options_.backlogLimit) {
    teardown("send error: " + std::to_string(outbound_.count()) + " frames backlogged");
    return shed;
  }
  pump();
  return shed;
}

void Peer::pump() {
  if (sending_ || !accepted_ || tornDown_ || closing_)
    return;
  std::optional<protocol::ServerEnvelope> next = outbound_.popFirst();
  if (!next)
    return;
  writing_ = next->encode();
  writingType_ = next->message.type();
  sending_ = true;
  ws_.async_write(
      asio::buffer(writing_),
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWritten(ec); });
}

void Peer::onWritten(beast::error_code ec) {
  sending_ = false;
  if (tornDown_)
    return;
  if (ec) {
    teardown("send error: " + ec.message());
    return;
  }
  ++framesWritten_;
  if (onSent)
    onSent(writingType_);
  pump();
}

void Peer::close(std::uint16_t code) {
  if (tornDown_)
    return;
  if (accepted_) {
    closing_ = true;
    ws_.async_close(websocket::close_reason(code),
                    [self = shared_from_this()](beast::error_code) { self->closeSocket(); });
    // A phone that does not read never lets the close frame out.
    graceTimer_.expires_after(options_.closeGrace);
    graceTimer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
      if (auto self = weak.lock(); self && !ec)
        self->closeSocket();
    });
  }
  teardown("closed " + std::to_string(code));
}

void Peer::startHeartbeat(Clock::duration interval, Clock::duration pongDeadline) {
  if (tornDown_)
    return;
  heartbeatInterval_ = interval;
  pongDeadline_ = pongDeadline;
  heartbeat_.expires_after(interval);
  heartbeat_.async_wait([weak = weak_from_this()](beast::error_code ec) {
    if (auto self = weak.lock(); self && !ec)
      self->heartbeatTick();
  });
}

void Peer::heartbeatTick() {
  if (tornDown_)
    return;
  // Beast allows one ping in flight; a ping still stuck behind an unread
  // frame needs no company, its deadline below still runs.
  if (!pinging_ && !closing_) {
    pinging_ = true;
    // The ping goes out behind every frame written so far.
    framesAtPing_.push_back(framesWritten_);
    ws_.async_ping({}, [self = shared_from_this()](beast::error_code ec) {
      self->pinging_ = false;
      if (ec && !self->tornDown_)
        self->teardown("send error: " + ec.message());
    });
  }
  // The deadline runs from the oldest unanswered ping. Re-arming it on every
  // tick would postpone it forever whenever the interval is shorter than the
  // deadline.
  if (!pingSentAt_) {
    pingSentAt_ = Clock::now();
    const std::uint64_t generation = ++pongGeneration_;
    pongTimer_.expires_after(pongDeadline_);
    pongTimer_.async_wait([weak = weak_from_this(), generation](beast::error_code ec) {
      auto self = weak.lock();
      if (!ec && self && self->pongGeneration_ == generation)
        self->teardown("pong deadline exceeded");
    });
  }
  startHeartbeat(heartbeatInterval_, pongDeadline_);
}

void Peer::teardown(const std::string& reason) {
  if (tornDown_)
    return;
  tornDown_ = true;
  const auto keepAlive = shared_from_this();  // onClosed may drop the server's reference
  helloTimer_.cancel();
  heartbeat_.cancel();
  ++pongGeneration_;
  pongTimer_.cancel();
  outbound_.removeAll();
  if (!closing_)
    closeSocket();
  if (auto callback = std::move(onClosed)) {
    onClosed = nullptr;
    callback(reason);
  }
}

void Peer::closeSocket() {
  if (socketClosed_)
    return;
  socketClosed_ = true;
  graceTimer_.cancel();
  beast::error_code ignored;
  ws_.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  ws_.next_layer().close(ignored);
}

}  // namespace parley::link
