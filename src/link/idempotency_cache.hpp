#pragma once

// Remembers recently accepted client message ids, so a phone that re-sends a
// prompt or an answer after a reconnect does not make the desktop act twice.
// Bounded by count as well as by age, so a flood of fresh ids within the
// ttl cannot grow it without end; past the count the oldest ids go first.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

#include "link/event_ring.hpp"

namespace parley::link {

class IdempotencyCache {
 public:
  explicit IdempotencyCache(Seconds ttl, std::size_t maxKeys = 10000)
      : ttl_(ttl), maxKeys_(maxKeys < 1 ? 1 : maxKeys) {}

  // True (and the key is remembered from now) when the key was not accepted
  // less than ttl ago.
  bool shouldProcess(std::string_view key, Date now);
  // Forgets keys accepted ttl or more ago.
  void prune(Date now);
  std::size_t count() const { return seen_.size(); }

 private:
  void forget(const std::string& key, Date acceptedAt);

  Seconds ttl_;
  std::size_t maxKeys_;
  std::unordered_map<std::string, Date> seen_;
  // Acceptances in order, oldest first.
  std::deque<std::pair<std::string, Date>> order_;
};

}  // namespace parley::link
