// Feeds arbitrary bytes to the hook-line decoder. A line either decodes or is
// refused with DecodeError; any other exception is a defect. A decoded
// payload must come back equal from its own JSON form, as an object and as
// text (numbers to their last places, see json_near.hpp), and its derived
// answers must not depend on which copy is asked.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_near.hpp"
#include "protocol/hook_payload.hpp"

using namespace parley;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  try {
    const protocol::HookPayload payload = protocol::HookPayload::decode(line);
    const protocol::json::object object = payload.toJson();
    const protocol::HookPayload fromObject = protocol::HookPayload::fromJson(object);
    const protocol::HookPayload fromText =
        protocol::HookPayload::decode(protocol::json::serialize(object));
    if (!(fromObject == payload) || !fuzz::nearlyEqual(fromText.toJson(), object))
      std::abort();
    if (fromText.isPermissionPrompt() != payload.isPermissionPrompt() ||
        fromText.tmuxSocketPath() != payload.tmuxSocketPath())
      std::abort();
    if (const auto socket = payload.tmuxSocketPath();
        socket && (socket->empty() || socket->find(',') != std::string::npos))
      std::abort();
  } catch (const protocol::DecodeError&) {
  }
  return 0;
}
