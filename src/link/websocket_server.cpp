// The server's connection life: admission of one phone at a time, sleep and
// wake, and the public face. The handshake is in server_handshake.cpp, the
// broadcast in server_broadcast.cpp, commands in server_commands.cpp.

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

StatusText describe(const Server::Status& status) {
  const std::string quitAndStart = ", then quit and start Parley again.";
  struct {
    const std::string& quitAndStart;
    StatusText operator()(const Server::Listening& s) const {
      return {"listening on :" + std::to_string(s.port), std::nullopt};
    }
    StatusText operator()(const Server::Failed& s) const {
      return {"failed: " + s.message,
              "Check that no other program uses the phone link's port (parley run --port)" +
                  quitAndStart};
    }
    StatusText operator()(const Server::Stopped&) const { return {"stopped", std::nullopt}; }
    StatusText operator()(const Server::Starting&) const { return {"starting", std::nullopt}; }
    StatusText operator()(const Server::BindRefused& s) const {
      return {"the system refused to let Parley listen on port " + std::to_string(s.port),
              "A port below 1024, or a policy such as AppArmor or SELinux, keeps the phone from "
              "reaching this computer. Choose another port with --port" +
                  quitAndStart};
    }
  } visitor{quitAndStart};
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
                    .site = config_.site,
                    .tailnet = tailnet_});
  std::weak_ptr<Impl> weakSelf = weak_from_this();
  std::weak_ptr<Peer> weakPeer = peer;
  peer->onFrame = [weakSelf, weakPeer](std::string body) {
    auto self = weakSelf.lock();
    auto live = weakPeer.lock();
    if (self && live)
      self->onFrame(live, body);
  };
  peer->onClosed = [weakSelf, weakPeer](const std::string& reason) {
    auto self = weakSelf.lock();
    auto live = weakPeer.lock();
    if (self && live)
      self->onPeerClosed(live, reason);
  };
  peer->onLatency = [weakSelf](double seconds) {
    if (auto self = weakSelf.lock())
      self->report(Latency{seconds});
  };
  peer->onSent = [weakSelf, weakPeer](std::string_view type) {
    auto self = weakSelf.lock();
    auto live = weakPeer.lock();
    if (self && live)
      self->onSent(live, type);
  };
  peer->onReadThrough = [weakSelf, weakPeer](std::uint64_t frames) {
    auto self = weakSelf.lock();
    auto live = weakPeer.lock();
    if (self && live && live == self->peer_)
      self->drops_.readThrough(*live->deviceID(), frames);
  };
  pending_.push_back(peer);
  peer->start();
}

void Impl::onPeerClosed(const std::shared_ptr<Peer>& peer, const std::string& reason) {
  if (peer == peer_) {
    peer_.reset();
    peerToken_.clear();
    // Its half-sent image cannot be finished by another connection.
    if (config_.images)
      config_.images->abandon();
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
  log("device “" + text::shown(peerDevice_.deviceName) + "” no longer paired — closed 1001");
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
