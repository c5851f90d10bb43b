#pragma once

// What counts as a word for every comparison the voice logic makes: runs of
// letters and numbers, lower-cased, with apostrophes dropped so that "don't"
// and "dont" are the same word.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace parley::voice {

using TokenList = std::vector<std::string>;

namespace SpeechTokens {

// Splits a text into lower-case tokens. A character (grapheme cluster) whose
// first scalar is a letter or a number joins the current token whole, with
// its combining marks; "'" and U+2019 are skipped; anything else ends the
// token. Tokens are in canonical composed form, so precomposed and decomposed
// spellings of a word give the same token. Ill-formed UTF-8 separates tokens.
TokenList tokenize(std::string_view text);

// The first `maxTokens` tokens of `text`, without reading further: enough to
// tell that a long utterance is not a short phrase.
TokenList tokenizePrefix(std::string_view text, std::size_t maxTokens);

// Jaccard index of the two token sets: 1 when both lists are empty, 0 when
// only one is; order and repetition do not matter.
double similarity(const TokenList& a, const TokenList& b);
double similarity(std::string_view a, std::string_view b);

}  // namespace SpeechTokens

}  // namespace parley::voice
