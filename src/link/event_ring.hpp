#pragma once

// Numbers every message sent to the phone and keeps the recent ones, so a
// phone that reconnects can be sent what it missed, or be told it missed too
// much. A plain data structure: the server touches it only on its strand.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "protocol/envelope.hpp"

namespace parley::link {

using Date = protocol::Date;
using Seconds = std::chrono::duration<double>;

class EventRing {
 public:
  struct Entry {
    std::uint64_t seq = 0;
    Date ts;
    protocol::ServerMessage message;
    std::size_t bytes = 0;  // its encoded size, as the ring counts it

    protocol::ServerEnvelope envelope() const { return {seq, ts, message}; }
  };

  struct Replay {
    std::vector<Entry> entries;
    bool gap = false;
    std::uint64_t resumedFromSeq = 0;
  };

  // A capacity below 1 becomes 1. Past `maxBytes` of encoded messages the
  // oldest go as well, though the newest entry is always kept.
  explicit EventRing(std::size_t capacity = 2000, Seconds window = Seconds(1800),
                     std::size_t maxBytes = 8 * 1024 * 1024);

  // Called with each entry about to be pruned, oldest first: the server
  // hands a phone what it has not yet been given before it is gone.
  using Evicting = std::function<void(const Entry&)>;

  Entry append(protocol::ServerMessage message, Date now, const Evicting& evicting = {});
  void prune(Date now, const Evicting& evicting = {});
  Replay replay(std::optional<std::uint64_t> lastSeq) const;
  // Whether every entry after `lastSeq` is still kept (the replay would
  // have no gap).
  bool canResume(std::uint64_t lastSeq) const;
  // The kept entry numbered `seq`, or null.
  const Entry* find(std::uint64_t seq) const;

  std::size_t count() const { return entries_.size(); }
  bool isEmpty() const { return entries_.empty(); }
  std::uint64_t latestSeq() const { return nextSeq_ - 1; }
  std::uint64_t nextSeq() const { return nextSeq_; }
  std::uint64_t lowestRetainedSeq() const { return lowestRetainedSeq_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t bytes() const { return bytes_; }
  const std::deque<Entry>& entries() const { return entries_; }

 private:
  std::size_t capacity_;
  Seconds window_;
  std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  std::deque<Entry> entries_;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t lowestRetainedSeq_ = 1;
};

}  // namespace parley::link
