#include "link/event_ring.hpp"

#include <algorithm>

namespace parley::link {

EventRing::EventRing(std::size_t capacity, Seconds window, std::size_t maxBytes)
    : capacity_(std::max<std::size_t>(capacity, 1)), window_(window), maxBytes_(maxBytes) {}

EventRing::Entry EventRing::append(protocol::ServerMessage message, Date now,
                                   const Evicting& evicting) {
  const std::uint64_t seq = nextSeq_++;
  Entry entry{seq, now, std::move(message)};
  entry.bytes = entry.envelope().encode().size();
  bytes_ += entry.bytes;
  entries_.push_back(entry);
  prune(now, evicting);
  return entry;
}

void EventRing::prune(Date now, const Evicting& evicting) {
  const auto cutoff = now - std::chrono::duration_cast<Date::duration>(window_);
  std::size_t removed = 0;
  const auto dropFront = [&] {
    if (evicting)
      evicting(entries_.front());
    bytes_ -= entries_.front().bytes;
    entries_.pop_front();
    ++removed;
  };
  while (!entries_.empty() && entries_.front().ts < cutoff)
    dropFront();
  while (entries_.size() > capacity_)
    dropFront();
  while (entries_.size() > 1 && bytes_ > maxBytes_)
    dropFront();
  if (removed > 0)
    lowestRetainedSeq_ = entries_.empty() ? nextSeq_ : entries_.front().seq;
}

EventRing::Replay EventRing::replay(std::optional<std::uint64_t> lastSeq) const {
  if (lastSeq && canResume(*lastSeq)) {
    Replay replay{.gap = false, .resumedFromSeq = *lastSeq};
    for (const Entry& entry : entries_) {
      if (entry.seq > *lastSeq)
        replay.entries.push_back(entry);
    }
    return replay;
  }
  return Replay{.gap = lastSeq.has_value(), .resumedFromSeq = latestSeq()};
}

bool EventRing::canResume(std::uint64_t lastSeq) const {
  return latestSeq() >= lastSeq && lastSeq + 1 >= lowestRetainedSeq_;
}

const EventRing::Entry* EventRing::find(std::uint64_t seq) const {
  // Kept seqs are consecutive: appends number one by one, pruning takes the front.
  if (entries_.empty() || seq < entries_.front().seq || seq > entries_.back().seq)
    return nullptr;
  return &entries_[seq - entries_.front().seq];
}

}  // namespace parley::link
