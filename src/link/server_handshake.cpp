// The phone's first frame and what follows it: the hello with its token,
// the answer with what the phone missed, pings, replies.

#include "base/files.hpp"
#include "link/peer.hpp"
#include "link/server_core.hpp"
#include "text/printable.hpp"

namespace parley::link {

namespace asio = boost::asio;
using Impl = WebSocketServer::Impl;

// ---- frames and the handshake ------------------------------------------------------

void Impl::onFrame(const std::shared_ptr<Peer>& peer, const std::string& body) {
  std::optional<protocol::ClientEnvelope> envelope;
  try {
    envelope = protocol::ClientEnvelope::decode(body);
  } catch (const std::exception& e) {
    // The connection stays; an unauthenticated one still has its deadline.
    log("undecodable client frame (" + std::to_string(body.size()) +
        "B): " + text::shown(e.what()));
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
    log("first frame was " + text::shown(envelope->message.type()) + ", not hello — closed 4401");
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
  // Where its replies stand in the numbered stream until the HelloAck says.
  peerCursor_ =
      hello.lastSeq && ring_.canResume(*hello.lastSeq) ? *hello.lastSeq : ring_.latestSeq();
  peerToken_ = hello.token;
  peerDevice_ = *device;
  peer->authenticate(device->deviceID);
  watchDeviceStore();
  try {
    pairing_.markSeen(device->deviceID, now());
  } catch (const std::exception& e) {
    // The phone is genuine; failing to note the time must not refuse it.
    log("could not record that “" + text::shown(device->deviceName) + "” was seen: " + e.what());
  }
  report(Connected{*device});
  log("paired device “" + text::shown(device->deviceName) + "” authenticated");

  // What is broadcast while the sessions are listed waits in the ring and is
  // replayed after the HelloAck, so the phone reads every seq in order.
  std::weak_ptr<Peer> weakPeer = peer;
  auto reply = [weakPeer, lastSeq = hello.lastSeq, handshakeSeq = ring_.latestSeq()](
                   Impl& self, std::vector<protocol::SessionDescriptor> sessions) {
    if (auto live = weakPeer.lock())
      self.sendHelloAck(live, lastSeq, handshakeSeq, std::move(sessions));
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
  // since its hello, which its session list may not show yet. Either is
  // told when the ring no longer holds all of that.
  const std::uint64_t from = lastSeq.value_or(handshakeSeq);
  const bool gap = !ring_.canResume(from);
  peerCursor_ = gap ? ring_.latestSeq() : from;
  owe(peer, peer->send(protocol::ServerEnvelope(
                ring_.latestSeq(), now(),
                protocol::HelloAck{
                    .serverVersion = config_.serverVersion,
                    .resumedFromSeq = peerCursor_,
                    .gap = gap,
                    .sessions = std::move(sessions),
                    .vapidPublicKey = config_.vapidPublicKey.empty()
                                          ? std::nullopt
                                          : std::optional(config_.vapidPublicKey),
                })));
  peerGreeted_ = true;
  // What was shed for this device and it never read is told before anything else.
  const std::string& device = *peer->deviceID();
  drops_.hello(device, lastSeq);
  if (auto owed = drops_.report(device, peerCursor_)) {
    log("told the phone of " + std::to_string(owed->count) + " frames shed before it reconnected");
    reply(peer, std::move(*owed));
  }
  if (gap)
    log("client resumed past the ring — sent gap:true, 0 replayed");
  peer->startHeartbeat(config_.pingInterval, config_.pongDeadline);
  report(Greeted{});
  feed();
}

void Impl::sendPong(const std::shared_ptr<Peer>& peer, const std::string& nonce) {
  reply(peer, protocol::Pong{.echo = nonce});
}

void Impl::reply(const std::shared_ptr<Peer>& peer, protocol::ServerMessage message) {
  // A reply is not part of the numbered stream: it repeats the seq of the
  // numbered message ahead of it, so a phone that resumes from any seq it
  // read misses nothing still on its way.
  const std::uint64_t seq = peer == peer_ ? peerCursor_ : ring_.latestSeq();
  owe(peer, peer->send(protocol::ServerEnvelope(seq, now(), std::move(message))));
}

}  // namespace parley::link
