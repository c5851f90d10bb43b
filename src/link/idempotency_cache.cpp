#include "link/idempotency_cache.hpp"

namespace parley::link {

void IdempotencyCache::prune(Date now) {
  std::erase_if(seen_, [&](const auto& entry) { return now - entry.second >= ttl_; });
}

bool IdempotencyCache::shouldProcess(std::string_view key, Date now) {
  prune(now);
  const auto [it, inserted] = seen_.try_emplace(std::string(key), now);
  return inserted;
}

}  // namespace parley::link
