// Feeds arbitrary bytes to the projector as agent Markdown, and as the
// command of a Bash call to the classifier. Beyond not crashing or hanging,
// the projection must stay well formed: valid UTF-8 out whatever came in,
// spoken exactly when there is speech, the display text untouched unless
// images were cut from it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "narration/speech_projector.hpp"
#include "narration/tier_classifier.hpp"
#include "text/utf8.hpp"

using namespace parley;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const narration::Projection p = narration::SpeechProjector(900).project(input);
  const protocol::Narration& n = p.narration;
  if (!text::isValidUtf8(n.text) || !text::isValidUtf8(n.speech))
    std::abort();
  if (n.speak != !n.speech.empty())
    std::abort();
  if (!n.images && text::isValidUtf8(input) && n.text != input)
    std::abort();
  if (n.images && n.images->empty())
    std::abort();

  static const narration::TierClassifier classifier("/home/dev/proj", "/home/dev");
  protocol::JSONValue::Object call{{"command", protocol::JSONValue(std::string(input))}};
  (void)classifier.classify("Bash", protocol::JSONValue(std::move(call)));
  return 0;
}
