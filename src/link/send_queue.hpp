#pragma once

// The per-connection outbound queue. When the phone reads too slowly it sheds
// low-value messages (tool progress first, then pane snapshots and
// vocabulary, then session lists) instead of growing; every other message is
// kept even past the capacity, because losing it would leave the phone wrong.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/envelope.hpp"

namespace parley::link {

// The shedding rank of a message (lower is shed first), or nullopt for a
// message that is never shed.
std::optional<int> sheddingRank(const protocol::ServerMessage& message);

class SendQueue {
 public:
  // A capacity below 1 becomes 1.
  explicit SendQueue(std::size_t capacity = 256);

  // Queues the envelope, shedding to make room; returns the envelopes shed
  // by this push, the new one included when it was not queued.
  std::vector<protocol::ServerEnvelope> push(protocol::ServerEnvelope envelope);
  std::optional<protocol::ServerEnvelope> popFirst();
  void removeAll() { items_.clear(); }

  std::size_t count() const { return items_.size(); }
  bool isEmpty() const { return items_.empty(); }
  std::size_t capacity() const { return capacity_; }
  const std::deque<protocol::ServerEnvelope>& items() const { return items_; }

 private:
  std::size_t capacity_;
  std::deque<protocol::ServerEnvelope> items_;
};

}  // namespace parley::link
