#pragma once

// `parley hooks install|uninstall|status`: the same steps the application
// takes from its settings panel, for people and scripts at a terminal.

#include <filesystem>
#include <iosfwd>

#include "app/hook_setup.hpp"

namespace parley::cli {

enum class HooksAction { install, uninstall, status };

// Runs one action on the user's Claude Code settings (HOME and the XDG
// variables decide the files). Progress lines go to `out`, failures to `err`.
// Returns the exit code: 0 on success; for status, 0 only when the relay is
// in place and registered for every event.
int runHooksCommand(
    HooksAction action, std::ostream& out, std::ostream& err,
    const std::filesystem::path& executableDirectory = app::currentExecutableDirectory());

}  // namespace parley::cli
