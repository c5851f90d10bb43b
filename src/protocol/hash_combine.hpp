#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace parley::protocol {

// Folds the hash of each value into `seed` (the boost::hash_combine mix).
template <class T>
void hashInto(std::size_t& seed, const T& value);
template <class T>
void hashInto(std::size_t& seed, const std::optional<T>& value);
template <class T>
void hashInto(std::size_t& seed, const std::vector<T>& values);
template <class Clock, class Duration>
void hashInto(std::size_t& seed, const std::chrono::time_point<Clock, Duration>& instant);

template <class T>
void hashInto(std::size_t& seed, const T& value) {
  seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
void hashInto(std::size_t& seed, const std::optional<T>& value) {
  hashInto(seed, value.has_value());
  if (value)
    hashInto(seed, *value);
}

template <class T>
void hashInto(std::size_t& seed, const std::vector<T>& values) {
  hashInto(seed, values.size());
  for (const T& value : values)
    hashInto(seed, value);
}

template <class Clock, class Duration>
void hashInto(std::size_t& seed, const std::chrono::time_point<Clock, Duration>& instant) {
  hashInto(seed, instant.time_since_epoch().count());
}

template <class... Ts>
std::size_t hashAll(const Ts&... values) {
  std::size_t seed = 0;
  (hashInto(seed, values), ...);
  return seed;
}

}  // namespace parley::protocol
