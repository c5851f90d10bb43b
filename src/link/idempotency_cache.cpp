#include "link/idempotency_cache.hpp"

namespace parley::link {

void IdempotencyCache::forget(const std::string& key, Date acceptedAt) {
  if (auto it = seen_.find(key); it != seen_.end() && it->second == acceptedAt)
    seen_.erase(it);
}

void IdempotencyCache::prune(Date now) {
  // Acceptances are in time order, so the expired ones lead.
  while (!order_.empty() && now - order_.front().second >= ttl_) {
    forget(order_.front().first, order_.front().second);
    order_.pop_front();
  }
}

bool IdempotencyCache::shouldProcess(std::string_view key, Date now) {
  prune(now);
  const auto [it, inserted] = seen_.try_emplace(std::string(key), now);
  if (!inserted)
    return false;
  order_.emplace_back(it->first, now);
  while (seen_.size() > maxKeys_ && !order_.empty()) {
    forget(order_.front().first, order_.front().second);
    order_.pop_front();
  }
  return true;
}

}  // namespace parley::link
