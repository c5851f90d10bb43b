#pragma once

// `parley doctor`: everything Parley needs from this machine and this user,
// checked one by one, each failure with what to do about it.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace parley::cli {

struct DoctorCheck {
  // skip: could not be checked here (no tool to ask); warn: works, with a
  // limitation. Only fail makes the doctor fail.
  enum class Status { ok, warn, fail, skip };

  std::string name;
  Status status = Status::ok;
  std::string detail;  // what was found
  std::string fix;     // what to do; empty when there is nothing to do
};

struct DoctorOptions {
  std::uint16_t port = 8787;                  // the phone link's port, which Tailscale must serve
  std::filesystem::path executableDirectory;  // where parley and parley-hook are
};

std::vector<DoctorCheck> runDoctorChecks(const DoctorOptions& options);

// Prints the checks (as JSON with `json`) and returns 1 when any failed.
int doctorCommand(const DoctorOptions& options, bool json, std::ostream& out);

}  // namespace parley::cli
