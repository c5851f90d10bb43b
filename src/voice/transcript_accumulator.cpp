#include "voice/transcript_accumulator.hpp"

#include "text/unicode.hpp"

namespace parley::voice {

namespace {

bool endsInWhitespace(std::string_view text) {
  // The last character decides, and a character is judged by its first
  // scalar, so the text is walked in grapheme clusters.
  text::CharacterCursor cursor(text);
  text::Character character;
  char32_t lastFirst = 0;
  while (cursor.next(character))
    lastFirst = character.first;
  return text::isWhitespace(lastFirst);
}

}  // namespace

std::string TranscriptAccumulator::join(std::string_view a, std::string_view b) {
  if (b.empty())
    return std::string(a);
  if (a.empty())
    return std::string(b);
  std::string result(a);
  if (!endsInWhitespace(a))
    result.push_back(' ');
  result.append(b);
  return result;
}

std::string TranscriptAccumulator::joined() const {
  return join(finalized_, volatileText_);
}

bool TranscriptAccumulator::isEmpty() const {
  return text::trimmed(finalized_).empty() && text::trimmed(volatileText_).empty();
}

void TranscriptAccumulator::updateVolatile(std::string_view text) {
  volatileText_ = std::string(text::trimmed(text));
}

void TranscriptAccumulator::commitFinal(std::string_view text) {
  volatileText_.clear();
  const std::string_view piece = text::trimmed(text);
  if (piece.empty())
    return;
  finalized_ = finalized_.empty() ? std::string(piece) : join(finalized_, piece);
}

std::string TranscriptAccumulator::drain() {
  std::string result(text::trimmed(joined()));
  reset();
  return result;
}

void TranscriptAccumulator::reset() {
  finalized_.clear();
  volatileText_.clear();
}

}  // namespace parley::voice
