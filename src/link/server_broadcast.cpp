// Numbered messages to the greeted phone through the ring, and the reports
// of what its queue had to drop.

#include <algorithm>

#include "link/peer.hpp"
#include "link/server_core.hpp"

namespace parley::link {

namespace asio = boost::asio;
using Impl = WebSocketServer::Impl;

// ---- broadcast and drop reports ------------------------------------------------------
//
// Every numbered message reaches the greeted phone through feed(), in seq
// order, whether it was broadcast just now or is replayed. What the phone's
// queue sheds is owed to its device until a report of it has been read.

void Impl::broadcast(protocol::ServerMessage message) {
  ring_.append(std::move(message), now(), [this](const EventRing::Entry& e) { evicting(e); });
  feed();
}

void Impl::feed() {
  const std::shared_ptr<Peer> peer = peer_;
  if (!peer || !peerGreeted_)
    return;
  // Half the queue: replies and the ring's last-moment pushes fit in the
  // rest without shedding anything.
  const std::size_t fill = std::max<std::size_t>(peer->queueCapacity() / 2, 1);
  while (peer == peer_ && !peer->isTornDown() && peer->queued() < fill &&
         peerCursor_ < ring_.latestSeq()) {
    if (const EventRing::Entry* entry = ring_.find(peerCursor_ + 1)) {
      sendNumbered(peer, *entry);
      continue;
    }
    // Cannot happen while evicting() hands over every entry before it goes.
    log("the ring lost seqs " + std::to_string(peerCursor_ + 1) + " to " +
        std::to_string(ring_.lowestRetainedSeq() - 1) + " before the phone was given them");
    peerCursor_ = ring_.lowestRetainedSeq() - 1;
  }
}

void Impl::sendNumbered(const std::shared_ptr<Peer>& peer, const EventRing::Entry& entry) {
  peerCursor_ = entry.seq;
  owe(peer, peer->send(entry.envelope()));
}

void Impl::evicting(const EventRing::Entry& entry) {
  // Entries go oldest first, so the first one after the cursor is the next.
  if (peer_ && peerGreeted_ && !peer_->isTornDown() && entry.seq == peerCursor_ + 1)
    sendNumbered(std::shared_ptr<Peer>(peer_), entry);
}

void Impl::onSent(const std::shared_ptr<Peer>& peer, std::string_view type) {
  if (peer != peer_)
    return;
  if (type == protocol::Dropped::kType)
    drops_.written(*peer->deviceID(), peer->framesWritten());
  feed();
}

void Impl::owe(const std::shared_ptr<Peer>& peer,
               const std::vector<protocol::ServerEnvelope>& shed) {
  if (shed.empty() || !peer->deviceID())
    return;
  drops_.shed(*peer->deviceID(), shed);
  // Reports are coalesced: at most one a second.
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
  // A phone that left is told at its next hello instead.
  const std::shared_ptr<Peer> peer = peer_;
  if (!peer || !peerGreeted_ || peer->isTornDown())
    return;
  std::optional<protocol::Dropped> report = drops_.report(*peer->deviceID(), peerCursor_);
  if (!report)
    return;
  const std::int64_t count = report->count;
  reply(peer, std::move(*report));
  log("shed " + std::to_string(count) + " frames under backpressure");
}

}  // namespace parley::link
