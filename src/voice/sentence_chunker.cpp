#include "voice/sentence_chunker.hpp"

#include <algorithm>
#include <optional>

#include "text/unicode.hpp"

namespace parley::voice {

namespace {

constexpr std::size_t colonMinimumChars = 40;

bool isTerminator(const text::Character& c) {
  return c.is(U'.') || c.is(U'!') || c.is(U'?') || c.is(U':') || c.is(U';');
}

bool isTerminatorRun(const text::Character& c) {
  return c.is(U'.') || c.is(U'!') || c.is(U'?');
}

bool isClosingMark(const text::Character& c) {
  return c.is(U'"') || c.is(U'\'') || c.is(U')') || c.is(U']') || c.is(U'}') || c.is(U'\u201D') ||
         c.is(U'\u2019');
}

std::size_t atLeastZero(std::int64_t value) {
  return static_cast<std::size_t>(std::max<std::int64_t>(value, 0));
}

// The characters of the buffer from a movable start. Positions count from
// that start, so a position is also the distance from the front of what is
// left of the buffer.
class View {
 public:
  View(std::string_view text, const std::vector<text::Character>& characters)
      : text_(text), characters_(characters) {}

  std::size_t size() const { return characters_.size() - base_; }
  const text::Character& operator[](std::size_t i) const { return characters_[base_ + i]; }
  std::size_t byteOffset(std::size_t i) const {
    return i < size() ? characters_[base_ + i].begin : text_.size();
  }
  std::string_view textBefore(std::size_t i) const {
    return text_.substr(byteOffset(0), byteOffset(i) - byteOffset(0));
  }
  void advance(std::size_t count) { base_ += count; }

 private:
  std::string_view text_;
  const std::vector<text::Character>& characters_;
  std::size_t base_ = 0;
};

// Whether the period at `period` closes an abbreviation ("e.g.", "Dr.") or a
// number ("version 2."), judged by the run of letters, numbers and periods
// before it.
bool isAbbreviationOrNumberBefore(const View& view, std::string_view text, std::size_t period) {
  std::size_t start = period;
  bool isNumeric = true;
  while (start > 0) {
    const text::Character& c = view[start - 1];
    const bool isNumberLike = text::isNumber(c.first) || c.is(U'.');
    if (!isNumberLike && !text::isLetter(c.first))
      break;
    isNumeric = isNumeric && isNumberLike;
    --start;
  }
  if (start == period)
    return false;
  if (isNumeric)
    return true;

  const std::size_t begin = view.byteOffset(start);
  std::string word = text::lowercased(text.substr(begin, view.byteOffset(period) - begin));
  const auto first = word.find_first_not_of('.');
  const auto last = word.find_last_not_of('.');
  word = first == std::string::npos ? std::string() : word.substr(first, last - first + 1);
  return SentenceChunker::abbreviations().contains(word);
}

std::optional<std::size_t> sentenceEnd(const View& view, std::string_view text, std::size_t start,
                                       bool final, std::size_t minimum) {
  const std::size_t size = view.size();
  for (std::size_t i = start; i < size; ++i) {
    const text::Character& c = view[i];
    if (text::isNewline(c.first) && i + 1 < size && text::isNewline(view[i + 1].first)) {
      return i + 2;  // a paragraph break
    }
    if (!isTerminator(c))
      continue;

    std::size_t j = i + 1;
    while (j < size && isTerminatorRun(view[j]))
      ++j;
    while (j < size && isClosingMark(view[j]))
      ++j;

    const bool isColonLike = c.is(U':') || c.is(U';');
    if (j == size) {
      // More text may continue the sentence ("3." then "14"); only the final
      // buffer ends here, and never at a colon.
      if (!final || isColonLike)
        return std::nullopt;
      return j;
    }
    if (!text::isWhitespace(view[j].first))
      continue;  // 3.14, a.b
    if (c.is(U'.') && isAbbreviationOrNumberBefore(view, text, i))
      continue;
    if (isColonLike) {
      // A colon or semicolon ends a chunk only once there is enough to say.
      if (j >= std::max(colonMinimumChars, minimum))
        return j;
      continue;
    }
    return j;
  }
  return std::nullopt;
}

std::optional<std::size_t> nextBoundary(const View& view, std::string_view text, bool final,
                                        std::size_t limit, std::size_t minimum,
                                        bool hasEmittedFirstChunk) {
  if (const auto end = sentenceEnd(view, text, 0, final, minimum);
      end && (*end <= limit || hasEmittedFirstChunk)) {
    if (*end >= minimum || final)
      return end;
    // Too short to speak alone: wait for the next sentence and take both,
    // however long that makes the chunk.
    return sentenceEnd(view, text, *end, false, minimum);
  }

  if (view.size() <= limit)
    return std::nullopt;
  // Prefer the last space or newline before the limit, unless the chunk
  // would then be too short; position 0 would cut nothing at all.
  for (std::size_t i = limit; i-- > 1;) {
    if (view[i].is(U' ') || text::isNewline(view[i].first)) {
      if (i >= minimum)
        return i;
      break;
    }
  }
  return limit;
}

}  // namespace

SentenceChunker::SentenceChunker(std::int64_t maxChunkChars, std::int64_t firstChunkMaxChars,
                                 std::int64_t minChunkChars)
    : maxChunkChars_(std::max<std::int64_t>(maxChunkChars, 1)),
      firstChunkMaxChars_(std::max<std::int64_t>(firstChunkMaxChars, 1)),
      minChunkChars_(minChunkChars) {}

const std::unordered_set<std::string>& SentenceChunker::abbreviations() {
  static const std::unordered_set<std::string> words = {
      "e.g",  "i.e",   "etc", "vs",  "cf",   "al",     "approx", "est",  "fig",  "no",
      "dr",   "mr",    "mrs", "ms",  "prof", "sr",     "jr",     "st",   "vol",  "ch",
      "sec",  "min",   "max", "avg", "resp", "ref",    "eq",     "inc",  "ltd",  "co",
      "dept", "src",   "lib", "pkg", "cmd",  "env",    "cfg",    "impl", "repo", "func",
      "var",  "const", "obj", "arg", "args", "params", "config",
  };
  return words;
}

std::vector<std::string> SentenceChunker::push(std::string_view text) {
  buffer_.append(text);
  return emit(false);
}

std::vector<std::string> SentenceChunker::flush() {
  std::vector<std::string> chunks = emit(true);
  appendChunk(chunks, buffer_);
  buffer_.clear();
  return chunks;
}

void SentenceChunker::reset() {
  buffer_.clear();
  hasEmittedFirstChunk_ = false;
}

bool SentenceChunker::isEmpty() const {
  return text::trimmed(buffer_).empty();
}

void SentenceChunker::appendChunk(std::vector<std::string>& chunks, std::string_view text) {
  const std::string_view chunk = text::trimmed(text);
  if (chunk.empty())
    return;
  // The synthesiser gets well-formed text even when the input was not.
  chunks.push_back(text::toValidUtf8(chunk));
  hasEmittedFirstChunk_ = true;
}

std::vector<std::string> SentenceChunker::emit(bool final) {
  std::vector<std::string> chunks;
  // While more text may come, a sequence cut off at the end of the buffer
  // has not arrived yet; cutting in front of it would separate it from the
  // character it belongs to.
  const std::string_view text = final
                                    ? std::string_view(buffer_)
                                    : std::string_view(buffer_).substr(
                                          0, buffer_.size() - text::incompleteTailLength(buffer_));
  const std::vector<text::Character> characters = text::characters(text);
  View view(text, characters);
  const std::size_t minimum = atLeastZero(minChunkChars_);
  while (true) {
    // The limit changes once the first chunk is out.
    const std::size_t limit =
        atLeastZero(hasEmittedFirstChunk_ ? maxChunkChars_ : firstChunkMaxChars_);
    const auto boundary = nextBoundary(view, text, final, limit, minimum, hasEmittedFirstChunk_);
    if (!boundary)
      break;
    appendChunk(chunks, view.textBefore(*boundary));
    view.advance(*boundary);
  }
  buffer_.erase(0, view.byteOffset(0));
  return chunks;
}

}  // namespace parley::voice
