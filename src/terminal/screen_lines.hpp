#pragma once

// What the dialog scraper and the prompt injector both need to know about
// the lines of Claude Code's screen.

#include <string>
#include <string_view>
#include <vector>

namespace parley::terminal::screen {

// Claude Code's box borders: not empty after trimming spaces and tabs, and
// made only of "─│┌┐└┘├┤┬┴┼".
bool isBorderLine(std::string_view line);

// Made only of characters of the Unicode box-drawing block (U+2500 to
// U+257F) and spaces: rules such as the dashed "╌╌╌" lines around a file
// preview, which are decoration and never content.
bool isDecorationLine(std::string_view line);

// The captured text cut at "\n".
std::vector<std::string_view> lines(std::string_view capture);

}  // namespace parley::terminal::screen
