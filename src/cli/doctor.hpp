#pragma once

// `parley doctor`: everything Parley needs from this machine and this user,
// checked one by one, each failure with what to do about it.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/setup_checks.hpp"

namespace parley::cli {

using DoctorCheck = app::SetupCheck;

struct DoctorOptions {
  std::uint16_t port = 8787;                  // the phone link's port, which Tailscale must serve
  std::filesystem::path executableDirectory;  // where parley and parley-hook are
};

std::vector<DoctorCheck> runDoctorChecks(const DoctorOptions& options);

// Prints the checks (as JSON with `json`) and returns 1 when any failed.
int doctorCommand(const DoctorOptions& options, bool json, std::ostream& out);

}  // namespace parley::cli
