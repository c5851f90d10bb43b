#include "link/event_ring.hpp"

#include <algorithm>

namespace parley::link {

EventRing::EventRing(std::size_t capacity, Seconds window)
    : capacity_(std::max<std::size_t>(capacity, 1)), window_(window) {}

EventRing::Entry EventRing::append(protocol::ServerMessage message, Date now) {
  const std::uint64_t seq = nextSeq_++;
  entries_.push_back(Entry{seq, now, std::move(message)});
  Entry entry = entries_.back();
  prune(now);
  return entry;
}

void EventRing::prune(Date now) {
  const auto cutoff = now - std::chrono::duration_cast<Date::duration>(window_);
  std::size_t k = 0;
  while (k < entries_.size() && entries_[k].ts < cutoff)
    ++k;
  if (entries_.size() - k > capacity_)
    k += entries_.size() - k - capacity_;
  if (k == 0)
    return;
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(k));
  lowestRetainedSeq_ = entries_.empty() ? nextSeq_ : entries_.front().seq;
}

EventRing::Replay EventRing::replay(std::optional<std::uint64_t> lastSeq) const {
  const std::uint64_t latest = latestSeq();
  if (lastSeq && latest >= *lastSeq && *lastSeq + 1 >= lowestRetainedSeq_) {
    Replay replay{.gap = false, .resumedFromSeq = *lastSeq};
    for (const Entry& entry : entries_) {
      if (entry.seq > *lastSeq)
        replay.entries.push_back(entry);
    }
    return replay;
  }
  return Replay{.gap = lastSeq.has_value(), .resumedFromSeq = latest};
}

}  // namespace parley::link
