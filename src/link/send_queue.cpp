#include "link/send_queue.hpp"

#include <algorithm>

namespace parley::link {

std::optional<int> sheddingRank(const protocol::ServerMessage& message) {
  if (std::holds_alternative<protocol::ToolStarted>(message) ||
      std::holds_alternative<protocol::ToolFinished>(message))
    return 0;
  if (std::holds_alternative<protocol::PaneSnapshot>(message) ||
      std::holds_alternative<protocol::Vocab>(message) ||
      std::holds_alternative<protocol::Changes>(message) ||
      std::holds_alternative<protocol::FileDiff>(message))
    return 1;
  if (std::holds_alternative<protocol::SessionUpdate>(message))
    return 2;
  return std::nullopt;
}

SendQueue::SendQueue(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

std::vector<protocol::ServerEnvelope> SendQueue::push(protocol::ServerEnvelope envelope) {
  std::vector<protocol::ServerEnvelope> dropped;
  while (items_.size() >= capacity_) {
    auto victim = items_.end();
    int victimRank = 0;
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      const auto rank = sheddingRank(it->message);
      if (rank && (victim == items_.end() || *rank < victimRank)) {
        victim = it;
        victimRank = *rank;
      }
    }
    if (victim == items_.end())
      break;
    dropped.push_back(std::move(*victim));
    items_.erase(victim);
  }
  if (items_.size() >= capacity_ && sheddingRank(envelope.message)) {
    dropped.push_back(std::move(envelope));
    return dropped;
  }
  items_.push_back(std::move(envelope));
  return dropped;
}

std::optional<protocol::ServerEnvelope> SendQueue::popFirst() {
  if (items_.empty())
    return std::nullopt;
  protocol::ServerEnvelope front = std::move(items_.front());
  items_.pop_front();
  return front;
}

}  // namespace parley::link
