// Feeds arbitrary bytes to the decoder of what a phone sends. A frame either
// decodes or is refused with DecodeError (UnknownMessageType for a newer
// phone's message); any other exception is a defect. What decodes must
// survive the trip back to the wire unchanged (numbers to their last places,
// see json_near.hpp), and decode again from there.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_near.hpp"
#include "protocol/envelope.hpp"

using namespace parley;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view frame(reinterpret_cast<const char*>(data), size);
  try {
    const protocol::ClientEnvelope envelope = protocol::ClientEnvelope::decode(frame);
    const std::string wire = envelope.encode();
    const protocol::ClientEnvelope again = protocol::ClientEnvelope::decode(wire);
    if (!fuzz::nearlyEqual(again.toJson(), envelope.toJson()) ||
        !(protocol::ClientEnvelope::fromJson(envelope.toJson()) == envelope))
      std::abort();
    (void)envelope.message.clientMsgID();
  } catch (const protocol::DecodeError&) {
  }
  return 0;
}
