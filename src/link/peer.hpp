#pragma once

// One accepted connection of the phone link. It reads the HTTP request
// first: a WebSocket upgrade becomes the phone's connection, any other request
// is answered from the web site and the connection may carry more requests
// until the hello deadline ends it. On the WebSocket it carries out
// what the server decides: receiving, sending one frame at a time
// from a shedding queue, closing with a code, the hello deadline, the
// keep-alive pings with their pong deadline, and a teardown that happens
// exactly once whatever ends it. Everything runs on the server's strand, the
// executor of the socket it is given. Only the server's implementation
// includes this header, which keeps Beast out of everyone else's.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/send_queue.hpp"
#include "link/web_file.hpp"

namespace parley::link {

// "host:port" of an endpoint, an IPv4-mapped IPv6 address written as IPv4.
std::string describeEndpoint(const boost::asio::ip::tcp::endpoint& endpoint);

class Peer : public std::enable_shared_from_this<Peer> {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    std::size_t outboundCapacity = 256;
    // More queued frames than this (only unsheddable ones can pile up) means
    // the phone is not reading at all; the peer is then torn down, and the
    // phone resynchronises from the replay ring when it reconnects.
    std::size_t backlogLimit = 4096;
    Clock::duration helloDeadline = std::chrono::seconds(10);
    // How long a close frame may take to go out before the socket is cut.
    Clock::duration closeGrace = std::chrono::seconds(2);
    std::size_t maxMessageSize = 4 * 1024 * 1024;
    // Until the hello authenticates: a hello is a few hundred bytes, and a
    // stranger must not make us hold megabytes.
    std::size_t maxUnauthenticatedMessageSize = 64 * 1024;
    // What plain GETs are answered from.
    std::span<const WebFile> site;
    // This machine's tailnet ("tail1234.ts.net"), empty when unknown: whose
    // pages may open the link besides the desktop's own.
    std::string tailnet;
    // A browser's request headers are a few kilobytes; GETs have no body.
    std::uint32_t maxRequestHeaderSize = 16 * 1024;
    std::uint64_t maxRequestBodySize = 1024;
  };

  Peer(boost::asio::ip::tcp::socket socket, Options options);

  // Set by the server before start().
  std::function<void(std::string body)> onFrame;
  std::function<void(const std::string& reason)> onClosed;
  std::function<void(double seconds)> onLatency;
  // A frame of this type has been written; the queue may have room again.
  std::function<void(std::string_view type)> onSent;
  // The phone answered a ping sent after this many frames were written, so
  // it has read them all.
  std::function<void(std::uint64_t frames)> onReadThrough;

  const std::string& remoteDescription() const { return remoteDescription_; }
  bool isAuthenticated() const { return authenticated_; }
  const std::optional<std::string>& deviceID() const { return deviceID_; }
  bool isTornDown() const { return tornDown_; }
  // Whether it answered plain HTTP requests rather than upgrading.
  bool servedPages() const { return servedPages_; }
  std::size_t queued() const { return outbound_.count(); }
  std::size_t queueCapacity() const { return outbound_.capacity(); }
  std::uint64_t framesWritten() const { return framesWritten_; }
  // Whether the WebSocket upgrade is done (a hello may follow).
  bool isUpgraded() const { return accepted_; }

  // Arms the hello deadline and reads the first request; an upgrade is
  // accepted and starts the receive loop.
  void start();
  // Marks the peer authenticated and ends the hello deadline; nothing else
  // does (a pong does not).
  void authenticate(std::string deviceID);
  // Queues the envelope and runs the pump; returns what the push shed.
  std::vector<protocol::ServerEnvelope> send(protocol::ServerEnvelope envelope);
  // Sends a close frame with the code and tears the peer down at once.
  void close(std::uint16_t code);
  void startHeartbeat(Clock::duration interval, Clock::duration pongDeadline);
  void teardown(const std::string& reason);

 private:
  using WebSocket = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

  void readRequest();
  void onRequest(boost::beast::error_code ec);
  void onResponded(boost::beast::error_code ec);
  void onAccepted(boost::beast::error_code ec);
  void readNext();
  void onRead(boost::beast::error_code ec);
  void onPong();
  void pump();
  void onWritten(boost::beast::error_code ec);
  void heartbeatTick();
  void closeSocket();

  WebSocket ws_;
  Options options_;
  std::string remoteDescription_;
  SendQueue outbound_;
  boost::beast::flat_buffer readBuffer_;
  boost::beast::flat_buffer requestBuffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> request_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
  std::string writing_;  // the frame in flight; Beast does not copy it
  std::string_view writingType_;
  std::uint64_t framesWritten_ = 0;
  // framesWritten_ when each unanswered ping went out, oldest first; pongs
  // come back in the same order.
  std::deque<std::uint64_t> framesAtPing_;
  boost::asio::steady_timer helloTimer_;
  boost::asio::steady_timer heartbeat_;
  boost::asio::steady_timer pongTimer_;
  boost::asio::steady_timer graceTimer_;
  // Bumped whenever pongTimer_ is re-armed or cancelled, so a deadline whose
  // handler was already queued cannot fire for a newer ping.
  std::uint64_t pongGeneration_ = 0;
  Clock::duration heartbeatInterval_{};
  Clock::duration pongDeadline_{};
  std::optional<Clock::time_point> pingSentAt_;
  std::optional<std::string> deviceID_;
  bool accepted_ = false;
  bool servedPages_ = false;
  // Why an upgrade was answered with a refusal; the connection ends with it.
  std::string refusal_;
  bool authenticated_ = false;
  bool sending_ = false;
  bool pinging_ = false;
  bool closing_ = false;
  bool socketClosed_ = false;
  bool tornDown_ = false;
};

}  // namespace parley::link
