#pragma once

// A pairing offer: what the phone scans to pair. Made by the running
// application's panel and by `parley pair`, the same way.

#include <cstdint>
#include <optional>
#include <string>

#include "link/pairing.hpp"

namespace parley::app {

struct PairingOfferInputs {
  std::string deviceName;
  // This computer's Tailscale name when already known; read from Tailscale
  // otherwise.
  std::optional<std::string> tailscaleHost;
  // The WebSocket server's port, which Tailscale's HTTPS proxy forwards to.
  std::uint16_t serverPort = 8787;
  std::string tailscaleExecutable;
};

// Blocking (runs the Tailscale program and writes the device file): the
// host, Tailscale serving HTTPS 443 to the server, then a new device with its
// one-time token. Throws with the failing step's text; nothing is paired when
// an earlier step fails.
link::PairingPayload makePairingOffer(const PairingOfferInputs& inputs,
                                      const link::PairingStore& pairing);

// The name the phone shows for this computer: the host name, or "computer".
std::string computerName();

}  // namespace parley::app
