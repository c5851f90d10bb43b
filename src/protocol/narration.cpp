#include "protocol/narration.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(Narration, text, speech, speak, images)

std::size_t Narration::hash() const {
  return detail::hashFields(*this);
}

}  // namespace parley::protocol
