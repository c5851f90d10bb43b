#include "narration/speech_projector.hpp"

#include "narration/spoken_words.hpp"
#include "protocol/hash_combine.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

namespace parley::narration {

namespace {

const text::Regex& imagePattern() {
  static const text::Regex pattern(R"(!\[([^\]]*)\]\(([^)]*)\))");
  return pattern;
}

}  // namespace

std::size_t Projection::hash() const {
  return protocol::hashAll(narration, needsDigest);
}

std::vector<SpeechProjector::Block> SpeechProjector::parseBlocks(std::string_view text) {
  return markdown::parseBlocks(text);
}

Projection SpeechProjector::project(std::string_view markdown) const {
  const std::string input = text::toValidUtf8(markdown);
  // Images are shown apart from the text, and their alt text is spoken.
  std::vector<std::string> images;
  imagePattern().forEachMatch(input, [&](const text::Regex::Match& m) {
    const std::string_view target = text::trimmedSpacesAndTabs(m.group(2));
    if (!target.empty())
      images.emplace_back(target);
  });

  Projection projection;
  protocol::Narration& n = projection.narration;
  n.text = images.empty() ? input : imagePattern().replaceAllWith(input, "");
  n.speech = spokenWords(markdown::parseBlocks(input));
  n.speak = !n.speech.empty();
  if (!images.empty())
    n.images = std::move(images);
  projection.needsDigest = text::characterCount(n.speech) > maxSpeechLength;
  return projection;
}

}  // namespace parley::narration
