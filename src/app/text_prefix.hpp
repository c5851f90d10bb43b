#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::app {

// The first `count` characters (grapheme clusters) of `text`, for the log
// lines that quote the start of a prompt or an answer.
std::string characterPrefix(std::string_view text, std::size_t count);

}  // namespace parley::app
