#pragma once

// `parley service install|uninstall|status`: Parley as a systemd user
// service for the current user, through `systemctl --user`.

#include <filesystem>
#include <iosfwd>
#include <string>

namespace parley::cli {

enum class ServiceAction { install, uninstall, status };

// The unit for `executable`, as the package installs it for its own.
std::string serviceUnitFor(const std::filesystem::path& executable);

// Runs one action for the parley at `executable`. When it was installed with
// its unit (under /usr), that unit is enabled; otherwise a unit naming it is
// written to the user's systemd directory first. Says on `out` what it did,
// on `err` what failed. Returns 0 on success; for status, 0 only when the
// service is running.
int runServiceCommand(ServiceAction action, const std::filesystem::path& executable,
                      std::ostream& out, std::ostream& err);

}  // namespace parley::cli
