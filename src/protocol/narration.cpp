#include "protocol/narration.hpp"

#include "protocol/hash_combine.hpp"

namespace parley::protocol {

Narration Narration::fromJson(const json::value& value) {
  const ObjectReader r(value, "Narration");
  Narration n;
  r.get("text", n.text);
  r.get("speech", n.speech);
  r.get("speak", n.speak);
  r.get("images", n.images);
  return n;
}

json::object Narration::toJson() const {
  return ObjectWriter()
      .put("text", text)
      .put("speech", speech)
      .put("speak", speak)
      .put("images", images)
      .take();
}

std::size_t Narration::hash() const {
  std::size_t seed = hashAll(text, speech, speak, images.has_value());
  if (images) {
    for (const std::string& image : *images)
      hashInto(seed, image);
  }
  return seed;
}

}  // namespace parley::protocol
