#pragma once

// Remembers recently accepted client message ids, so a phone that re-sends a
// prompt or an answer after a reconnect does not make the desktop act twice.

#include <string>
#include <string_view>
#include <unordered_map>

#include "link/event_ring.hpp"

namespace parley::link {

class IdempotencyCache {
 public:
  explicit IdempotencyCache(Seconds ttl) : ttl_(ttl) {}

  // True (and the key is remembered from now) when the key was not accepted
  // less than ttl ago.
  bool shouldProcess(std::string_view key, Date now);
  // Forgets keys accepted ttl or more ago.
  void prune(Date now);
  std::size_t count() const { return seen_.size(); }

 private:
  Seconds ttl_;
  std::unordered_map<std::string, Date> seen_;
};

}  // namespace parley::link
