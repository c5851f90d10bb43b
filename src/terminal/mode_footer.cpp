#include "terminal/mode_footer.hpp"

#include <array>
#include <utility>

#include "terminal/ansi_text.hpp"
#include "terminal/screen_lines.hpp"

namespace parley::terminal {

using protocol::PermissionMode;

namespace {

// Footer lines sit at the very bottom; a few blank or hint lines may follow
// the mode line.
constexpr std::size_t kLinesLooked = 4;

std::string_view trimmedLeft(std::string_view line) {
  const auto start = line.find_first_not_of(" \t");
  return start == std::string_view::npos ? std::string_view() : line.substr(start);
}

}  // namespace

std::optional<PermissionMode> ModeFooter::read(std::string_view screen) {
  static constexpr std::array<std::pair<std::string_view, PermissionMode>, 5> kShown{{
      {"manual mode on", PermissionMode::default_},
      {"accept edits on", PermissionMode::acceptEdits},
      {"plan mode on", PermissionMode::plan},
      {"auto mode on", PermissionMode::auto_},
      {"bypass permissions on", PermissionMode::bypassPermissions},
  }};
  const std::string plain = AnsiText::stripped(screen);
  const auto lines = screen::lines(plain);
  std::size_t looked = 0;
  for (auto it = lines.rbegin(); it != lines.rend() && looked < kLinesLooked; ++it) {
    const std::string_view line = trimmedLeft(*it);
    if (line.empty())
      continue;
    ++looked;
    std::string_view rest;
    if (line.starts_with("\u23f8"))  // ⏸
      rest = line.substr(std::string_view("\u23f8").size());
    else if (line.starts_with("\u23f5\u23f5"))  // ⏵⏵
      rest = line.substr(std::string_view("\u23f5\u23f5").size());
    else
      continue;
    rest = trimmedLeft(rest);
    for (const auto& [words, mode] : kShown) {
      if (rest.starts_with(words))
        return mode;
    }
  }
  return std::nullopt;
}

}  // namespace parley::terminal
