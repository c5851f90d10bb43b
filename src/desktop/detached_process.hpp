#pragma once

// Starting a desktop program (a terminal, the browser) that lives on its
// own: the program and each argument passed as they are, never through a
// shell.

#include <string>
#include <vector>

namespace parley::desktop {

// Starts args[0] (looked up in PATH) with the rest as its arguments, in its
// own process group with standard streams on /dev/null, and returns without
// waiting for it. Throws std::runtime_error with the reason when it cannot be
// started.
void spawnDetached(const std::vector<std::string>& args);

}  // namespace parley::desktop
