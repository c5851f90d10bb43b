#pragma once

// `parley pair`, `parley devices` and `parley revoke`: the phones paired with
// this desktop. Each returns the process exit code; results go to `out`,
// failures to `err`.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace parley::cli {

// A pairing offer for a new phone: the QR code with the host and port, or
// with `json` only the payload the QR code carries.
int pairCommand(const std::string& deviceName, bool json, std::uint16_t serverPort,
                std::ostream& out, std::ostream& err);
int devicesCommand(bool json, std::ostream& out, std::ostream& err);
int revokeCommand(const std::string& deviceID, std::ostream& out, std::ostream& err);

}  // namespace parley::cli
