#pragma once

// Cuts text that arrives in pieces into chunks for a speech synthesiser: at
// sentence ends (never at the period of an abbreviation or a number), with a
// shorter limit for the first chunk so speech starts early, short sentences
// merged with the next, and a cut at a word boundary when no sentence end
// comes within the limit. Lengths count characters (grapheme clusters).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace parley::voice {

class SentenceChunker {
 public:
  // Limits below one character are raised to one: a zero limit could only
  // ever cut empty chunks and would never consume the buffer.
  SentenceChunker(std::int64_t maxChunkChars, std::int64_t firstChunkMaxChars,
                  std::int64_t minChunkChars);

  std::int64_t maxChunkChars() const { return maxChunkChars_; }
  std::int64_t firstChunkMaxChars() const { return firstChunkMaxChars_; }
  std::int64_t minChunkChars() const { return minChunkChars_; }
  const std::string& buffer() const { return buffer_; }
  bool hasEmittedFirstChunk() const { return hasEmittedFirstChunk_; }

  // Appends a piece of text; returns the chunks now complete, in order.
  std::vector<std::string> push(std::string_view text);
  // Takes the buffer as final and returns everything left in it as chunks.
  std::vector<std::string> flush();
  // Forgets the buffer; the next chunk is a first chunk again.
  void reset();
  bool isEmpty() const;

  // The 47 lower-case words after which a period does not end a sentence,
  // built on first use.
  static const std::unordered_set<std::string>& abbreviations();

 private:
  std::vector<std::string> emit(bool final);
  void appendChunk(std::vector<std::string>& chunks, std::string_view text);

  std::int64_t maxChunkChars_;
  std::int64_t firstChunkMaxChars_;
  std::int64_t minChunkChars_;
  std::string buffer_;
  bool hasEmittedFirstChunk_ = false;
};

}  // namespace parley::voice
