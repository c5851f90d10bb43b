#pragma once

// Markdown blocks in words that sound right through a speech synthesiser:
// code becomes a one-line description, a table its row count, a long list
// its first three items; links and URLs shrink to what a listener needs,
// paths and identifiers are read as words, and decoration (emphasis marks,
// box drawing, emoji) is dropped.

#include <string>
#include <vector>

#include "narration/markdown_blocks.hpp"

namespace parley::narration {

// The blocks spoken one after another, white space collapsed.
std::string spokenWords(const std::vector<markdown::Block>& blocks);

}  // namespace parley::narration
