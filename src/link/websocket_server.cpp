// The server's connection life: admission of one phone at a time, the hello handshake with replay,
// broadcast through the ring, drop reports, sleep and wake. Commands are in server_commands.cpp.

#include "link/websocket_server.hpp"

#include <algorithm>

#include "base/files.hpp"
#include "link/device_store_watcher.hpp"
#include "link/peer.hpp"
#include "link/server_core.hpp"
#include "text/printable.hpp"

namespace parley::link {

namespace asio = boost::asio;
using Impl = WebSocketServer::Impl;
using Server = WebSocketServer;

namespace {

// What a peer sent, fit for a log line.
std::string shown(std::string_view text) {
  return text::printable(text, 200);
}

}  // namespace

std::string describe(const Server::Status& status) {
  struct {
    std::string operator()(const Server::Listening& s) const {
      return "listening on :" + std::to_string(s.port);
    }
    std::string operator()(const Server::Failed& s) const { return "failed: " + s.message; }
    std::string operator()(const Server::Stopped&) const { return "stopped"; }
    std::string operator()(const Server::Starting&) const { return "starting"; }
    std::string operator()(const Server::LocalNetworkDenied&) const {
      return "local network denied";
    }
  } visitor;
  return std::visit(visitor, status);
}

Impl::Impl(asio::any_io_executor executor, Configuration configuration, PairingStore pairing,
           std::weak_ptr<protocol::SessionCommands> commands)
    : executor_(executor),
      strand_(asio::make_strand(executor)),
      commandStrand_(asio::make_strand(executor)),
      config_(std::move(configuration)),
      pairing_(std::move(pairing)),
      commands_(std::move(commands)),
      ring_(config_.ringCapacity, config_.ringWindow, config_.ringMaxBytes),
      idempotency_(config_.idempotencyTTL),
      tailnetTimer_(strand_),
      dropTimer_(strand_) {}

bool Impl::hasAuthenticatedPeer() const {
  return peer_ && peer_->isAuthenticated();
}

void Impl::log(const std::string& line) {
  if (onLog)
    onLog(line);
}

void Impl::report(const PeerEvent& event) {
  if (onPeerEvent)
    onPeerEvent(event);
}

void Impl::setStatus(Status status) {
  if (status == status_)
    return;
  status_ = std::move(status);
  if (onStatusChange)
    onStatusChange(status_);
}

// ---- connections ----------------------------------------------------------------

void Impl::admit(tcp::socket socket) {
  error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec)
    return;  // gone before we looked
  const std::string description = describeEndpoint(remote);
  if (config_.enforceTailscaleFilter && !addressAllowed(remote)) {
    socket.close(ec);
    report(RejectedAddress{description});
    log("refused non-Tailscale peer " + description);
    return;
  }
  // The phone is replaced only by a newcomer whose hello authenticates
  // (handshake). Of those still waiting, one makes way: a socket that never
  // upgraded before a WebSocket that may be about to say hello, and the
  // oldest first, so the phone reconnecting gets in past a stream of bare
  // connects. It is told to try again later: 4409 would tell a phone that
  // another one took over, and it would stop reconnecting.
  if (pending_.size() >= std::max<std::size_t>(config_.maxUnauthenticatedPeers, 1)) {
    auto victim = std::find_if(pending_.begin(), pending_.end(),
                               [](const std::shared_ptr<Peer>& p) { return !p->isUpgraded(); });
    if (victim == pending_.end())
      victim = pending_.begin();
    const std::shared_ptr<Peer> evicted = *victim;
    pending_.erase(victim);
    log("too many connections awaiting hello: closed " + evicted->remoteDescription() +
        " with 1013");
    evicted->close(1013);
  }

  auto peer = std::make_shared<Peer>(
      std::move(socket),
      Peer::Options{.outboundCapacity = std::max<std::size_t>(config_.sendQueueCapacity, 1),
                    .backlogLimit = config_.sendBacklogLimit,
                    .helloDeadline = config_.helloDeadline,
                    .closeGrace = config_.closeGrace,
                    .site = config_.site});
  std::weak_ptr<Impl> weakSelf = weak_from_this();
  std::weak_ptr<Peer> weakPeer = peer;
  peer->onFrame = [weakSelf, weakPeer](std::string body) {
    auto self = weakSelf.lock();
    auto peer = weakPeer.lock();
    if (self && peer)
      self->onFrame(peer, body);
  };
  peer->onClosed = [weakSelf, weakPeer](const std::string& reason) {
    auto self = weakSelf.lock();
    auto peer = weakPeer.lock();
    if (self && peer)
      self->onPeerClosed(peer, reason);
  };
  peer->onLatency = [weakSelf](double seconds) {
    if (auto self = weakSelf.lock())
      self->report(Latency{seconds});
  };
  pending_.push_back(peer);
  peer->start();
}

void Impl::onPeerClosed(const std::shared_ptr<Peer>& peer, const std::string& reason) {
  if (peer == peer_) {
    peer_.reset();
    peerToken_.clear();
    report(Disconnected{reason});
    log("peer " + peer->remoteDescription() + " disconnected: " + reason);
    return;
  }
  // One that never authenticated was never the phone: it is only logged.
  if (std::erase(pending_, peer) > 0 && !peer->servedPages())
    log("peer " + peer->remoteDescription() + " left before its hello: " + reason);
}

void Impl::closePeer(std::uint16_t code) {
  if (peer_)
    std::shared_ptr<Peer>(peer_)->close(code);
}

void Impl::closePending(std::uint16_t code) {
  for (const std::shared_ptr<Peer>& peer : std::exchange(pending_, {}))
    peer->close(code);
}

void Impl::watchDeviceStore() {
  if (deviceWatcher_ && deviceWatcher_->isWatching())
    return;
  deviceWatcher_ =
      std::make_shared<DeviceStoreWatcher>(strand_, pairing_.file(), [weak = weak_from_this()] {
        if (auto self = weak.lock())
          self->recheckDevice();
      });
  if (const error_code ec = deviceWatcher_->start())
    log("cannot watch the device store (" + ec.message() +
        "): a revoked phone stays connected until it reconnects");
}

void Impl::recheckDevice() {
  try {
    if (!peer_ || pairing_.device(peerToken_))
      return;
  } catch (const base::FileError& e) {
    log(std::string("device store unreadable, the phone stays connected: ") + e.what());
    return;
  }
  // As when the desktop itself revokes it: the phone learns at its next
  // hello that the token is gone. The two race (the file changes before the
  // desktop closes), so they must agree.
  log("device “" + shown(peerDevice_.deviceName) + "” no longer paired — closed 1001");
  closePeer(1001);
}

void Impl::closeForSleep() {
  closePending(1001);
  peerToken_.clear();
  if (auto peer = std::move(peer_))
    peer->close(1001);
  log("connection closed 1001 (system sleeping)");
}

void Impl::resumeAfterWake() {
  log("waking: restarting listener");
  if (!listeners_.empty())
    closeListener();
  startListener();
}

void Impl::stop(std::uint16_t code, const std::string& reason) {
  closePending(code);
  closePeer(code);
  closeListener();
  dropTimer_.cancel();
  dropTimerRunning_ = false;
  log("server stopped: " + reason);
}

void Impl::shutdown() {
  onStatusChange = nullptr;
  onPeerEvent = nullptr;
  onLog = nullptr;
  closePending(1001);
  closePeer(1001);
  deviceWatcher_.reset();
  closeListener();
  stopTermStream();
  dropTimer_.cancel();
  dropTimerRunning_ = false;
}

// ---- frames and the handshake ------------------------------------------------------

void Impl::onFrame(const std::shared_ptr<Peer>& peer, const std::string& body) {
  std::optional<protocol::ClientEnvelope> envelope;
  try {
    envelope = protocol::ClientEnvelope::decode(body);
  } catch (const std::exception& e) {
    // The connection stays; an unauthenticated one still has its deadline.
    log("undecodable client frame (" + std::to_string(body.size()) + "B): " + shown(e.what()));
    return;
  }
  if (envelope->v != protocol::Wire::version) {
    peer->close(4400);
    log("client wire version " + std::to_string(envelope->v) +
        " != " + std::to_string(protocol::Wire::version) + " — closed 4400");
    return;
  }
  if (peer->isAuthenticated()) {
    dispatch(peer, envelope->message);
  } else if (const auto* hello = std::get_if<protocol::Hello>(&envelope->message)) {
    handshake(peer, *hello);
  } else {
    peer->close(4401);
    report(RejectedToken{});
    log("first frame was " + shown(envelope->message.type()) + ", not hello — closed 4401");
  }
}

void Impl::handshake(const std::shared_ptr<Peer>& peer, const protocol::Hello& hello) {
  std::optional<PairedDevice> device;
  try {
    device = pairing_.device(hello.token);
  } catch (const base::FileError& e) {
    // Not a verdict on the token: the phone keeps it and tries again.
    peer->close(1013);
    log(std::string("hello refused, the device store cannot be read: ") + e.what() +
        " — closed 1013");
    return;
  }
  if (!device) {
    peer->close(4401);
    report(RejectedToken{});
    log("hello rejected: bad token from " + peer->remoteDescription());
    return;
  }
  // Only now may the newcomer replace the phone.
  std::erase(pending_, peer);
  closePeer(4409);
  peer_ = peer;
  peerGreeted_ = false;
  peerToken_ = hello.token;
  peerDevice_ = *device;
  peer->authenticate(device->deviceID);
  watchDeviceStore();
  try {
    pairing_.markSeen(device->deviceID, now());
  } catch (const std::exception& e) {
    // The phone is genuine; failing to note the time must not refuse it.
    log("could not record that “" + shown(device->deviceName) + "” was seen: " + e.what());
  }
  report(Connected{*device});
  log("paired device “" + shown(device->deviceName) + "” authenticated");

  // What is broadcast while the sessions are listed waits in the ring and is
  // replayed after the HelloAck, so the phone reads every seq in order.
  std::weak_ptr<Peer> weakPeer = peer;
  auto reply = [weakPeer, lastSeq = hello.lastSeq, handshakeSeq = ring_.latestSeq()](
                   Impl& self, std::vector<protocol::SessionDescriptor> sessions) {
    if (auto peer = weakPeer.lock())
      self.sendHelloAck(peer, lastSeq, handshakeSeq, std::move(sessions));
  };
  auto done =
      backOnStrand([reply](Impl& self, std::exception_ptr, protocol::CommandResult result) mutable {
        auto* sessions = std::get_if<std::vector<protocol::SessionDescriptor>>(&result);
        reply(self, sessions ? std::move(*sessions) : std::vector<protocol::SessionDescriptor>{});
      });
  if (!callCommands(protocol::ListSessions{}, std::move(done)))
    reply(*this, {});
}

void Impl::sendHelloAck(const std::shared_ptr<Peer>& peer, std::optional<std::uint64_t> lastSeq,
                        std::uint64_t handshakeSeq,
                        std::vector<protocol::SessionDescriptor> sessions) {
  if (peer != peer_ || peer->isTornDown())
    return;
  // A phone that resumes gets what it missed; a new one what was broadcast
  // since its hello, which its session list may not show yet.
  EventRing::Replay replay = ring_.replay(lastSeq.value_or(handshakeSeq));
  if (!lastSeq && replay.gap)
    replay = EventRing::Replay{.gap = false, .resumedFromSeq = ring_.latestSeq()};
  reportShed(peer->send(protocol::ServerEnvelope(
      ring_.latestSeq(), now(),
      protocol::HelloAck{
          .serverVersion = config_.serverVersion,
          .resumedFromSeq = replay.resumedFromSeq,
          .gap = replay.gap,
          .sessions = std::move(sessions),
          .vapidPublicKey =
              config_.vapidPublicKey.empty() ? std::nullopt : std::optional(config_.vapidPublicKey),
      })));
  for (const EventRing::Entry& entry : replay.entries)
    reportShed(peer->send(entry.envelope()));
  peerGreeted_ = true;
  if (replay.gap)
    log("client resumed past the ring — sent gap:true, " + std::to_string(replay.entries.size()) +
        " replayed");
  peer->startHeartbeat(config_.pingInterval, config_.pongDeadline);
  report(Greeted{});
}

void Impl::sendPong(const std::shared_ptr<Peer>& peer, const std::string& nonce) {
  reply(peer, protocol::Pong{.echo = nonce});
}

void Impl::reply(const std::shared_ptr<Peer>& peer, protocol::ServerMessage message) {
  // It repeats the latest seq: a reply is not part of the numbered stream.
  reportShed(peer->send(protocol::ServerEnvelope(ring_.latestSeq(), now(), std::move(message))));
}

// ---- broadcast and drop reports ------------------------------------------------------
//
// Every push's shedding is reported, the drop report's own and the
// handshake's included, so the phone learns of every message it lost.

void Impl::broadcast(protocol::ServerMessage message) {
  const EventRing::Entry entry = ring_.append(std::move(message), now());
  if (peer_ && peer_->isAuthenticated() && peerGreeted_)
    reportShed(peer_->send(entry.envelope()));
}

void Impl::reportShed(const std::vector<std::string>& kinds) {
  if (kinds.empty())
    return;
  pendingDropCount_ += static_cast<std::int64_t>(kinds.size());
  pendingDropKinds_.insert(kinds.begin(), kinds.end());
  if (dropTimerRunning_)
    return;
  dropTimerRunning_ = true;
  dropTimer_.expires_after(config_.dropReportDelay);
  dropTimer_.async_wait([weak = weak_from_this()](error_code ec) {
    auto self = weak.lock();
    if (!ec && self && self->dropTimerRunning_)
      self->flushDropReport();
  });
}

void Impl::flushDropReport() {
  dropTimerRunning_ = false;
  const std::int64_t count = pendingDropCount_;
  std::vector<std::string> kinds(pendingDropKinds_.begin(), pendingDropKinds_.end());
  pendingDropCount_ = 0;
  pendingDropKinds_.clear();
  if (count < 1)
    return;
  broadcast(protocol::Dropped{.count = count, .kinds = std::move(kinds)});
  log("shed " + std::to_string(count) + " frames under backpressure");
}

// ---- public face -------------------------------------------------------------------

WebSocketServer::WebSocketServer(asio::any_io_executor executor, Configuration configuration,
                                 PairingStore pairing,
                                 std::weak_ptr<protocol::SessionCommands> commands)
    : impl_(std::make_shared<Impl>(executor, std::move(configuration), std::move(pairing),
                                   std::move(commands))) {}

WebSocketServer::~WebSocketServer() {
  impl_->post([](Impl& self) { self.shutdown(); });
}

void WebSocketServer::setOnStatusChange(std::function<void(const Status&)> callback) {
  impl_->post([callback = std::move(callback)](Impl& self) mutable {
    self.onStatusChange = std::move(callback);
  });
}

void WebSocketServer::setOnPeerEvent(std::function<void(const PeerEvent&)> callback) {
  impl_->post([callback = std::move(callback)](Impl& self) mutable {
    self.onPeerEvent = std::move(callback);
  });
}

void WebSocketServer::setOnLog(std::function<void(const std::string&)> callback) {
  impl_->post(
      [callback = std::move(callback)](Impl& self) mutable { self.onLog = std::move(callback); });
}

void WebSocketServer::attach(std::weak_ptr<protocol::SessionCommands> commands) {
  impl_->post(
      [commands = std::move(commands)](Impl& self) mutable { self.attach(std::move(commands)); });
}

void WebSocketServer::start() {
  impl_->post([](Impl& self) { self.startListener(); });
}

void WebSocketServer::stop(std::uint16_t closeCode, std::string reason) {
  impl_->post(
      [closeCode, reason = std::move(reason)](Impl& self) { self.stop(closeCode, reason); });
}

void WebSocketServer::publish(protocol::ServerMessage message) {
  impl_->post(
      [message = std::move(message)](Impl& self) mutable { self.broadcast(std::move(message)); });
}

void WebSocketServer::closeForSleep() {
  impl_->post([](Impl& self) { self.closeForSleep(); });
}

void WebSocketServer::resumeAfterWake() {
  impl_->post([](Impl& self) { self.resumeAfterWake(); });
}

std::uint64_t WebSocketServer::latestSeq() const {
  return impl_->read([impl = impl_.get()] { return impl->latestSeq(); });
}

bool WebSocketServer::hasAuthenticatedPeer() const {
  return impl_->read([impl = impl_.get()] { return impl->hasAuthenticatedPeer(); });
}

WebSocketServer::Status WebSocketServer::status() const {
  return impl_->read([impl = impl_.get()] { return impl->status(); });
}

const WebSocketServer::Configuration& WebSocketServer::configuration() const {
  return impl_->config();
}

}  // namespace parley::link
