#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/wire_coding.hpp"

namespace parley::protocol {

// Text to show, a separate plain form for a speech synthesiser, and whether
// the receiver should speak it.
struct Narration {
  std::string text;
  std::string speech;
  bool speak = false;
  std::optional<std::vector<std::string>> images;

  std::size_t hash() const;
  PARLEY_WIRE_RECORD(Narration);
};

}  // namespace parley::protocol

template <>
struct std::hash<parley::protocol::Narration> {
  std::size_t operator()(const parley::protocol::Narration& n) const { return n.hash(); }
};
