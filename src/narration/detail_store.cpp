#include "narration/detail_store.hpp"

#include <random>

#include <cstdio>

namespace parley::narration {

namespace {

// A per-process prefix, so a reference from an earlier run finds nothing
// rather than some other text.
const std::string& runPrefix() {
  static const std::string prefix = [] {
    std::random_device device;
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(device()));
    return std::string("d") + buffer + "-";
  }();
  return prefix;
}

}  // namespace

std::string DetailStore::put(std::string text) {
  if (text.size() > limits_.maxBytes) {
    // Back to the start of the character the bound falls in.
    std::size_t cut = limits_.maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
    text.resize(cut);
  }
  const std::lock_guard lock(mutex_);
  std::string ref = runPrefix() + std::to_string(++next_);
  bytes_ += text.size();
  texts_.emplace(ref, std::move(text));
  order_.push_back(ref);
  while (!order_.empty() && (order_.size() > limits_.maxEntries || bytes_ > limits_.maxBytes)) {
    const auto it = texts_.find(order_.front());
    bytes_ -= it->second.size();
    texts_.erase(it);
    order_.pop_front();
  }
  return ref;
}

std::optional<std::string> DetailStore::get(const std::string& ref) const {
  const std::lock_guard lock(mutex_);
  const auto it = texts_.find(ref);
  if (it == texts_.end())
    return std::nullopt;
  return it->second;
}

std::size_t DetailStore::size() const {
  const std::lock_guard lock(mutex_);
  return texts_.size();
}

std::size_t DetailStore::bytes() const {
  const std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace parley::narration
