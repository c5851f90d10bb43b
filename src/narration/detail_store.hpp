#pragma once

// The full texts behind shortened tool results, kept so a phone can ask for
// one by its reference. Bounded in count and in bytes: the oldest go first.
// Safe to use from any thread (the hook path puts, the command path reads).

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace parley::narration {

class DetailStore {
 public:
  struct Limits {
    std::size_t maxEntries = 200;
    std::size_t maxBytes = 8 * 1024 * 1024;
  };

  DetailStore() = default;
  explicit DetailStore(Limits limits) : limits_(limits) {}

  // Keeps `text` and returns its new reference. A text larger than the byte
  // bound is kept cut to it.
  std::string put(std::string text);
  std::optional<std::string> get(const std::string& ref) const;

  std::size_t size() const;
  std::size_t bytes() const;

 private:
  Limits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> texts_;
  std::deque<std::string> order_;  // oldest first
  std::size_t bytes_ = 0;
  std::uint64_t next_ = 0;
};

}  // namespace parley::narration
