#pragma once

// The two calls the phone link needs from the Tailscale command line: this
// machine's Tailscale name and addresses with those of the tailnet's other
// machines, and an HTTPS proxy on the tailnet that forwards to the
// WebSocket server on loopback. Both block while the program
// runs; call them off the main and server strands.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace parley::link {

// The first `tailscale` on $PATH, else /usr/bin/tailscale.
std::string defaultTailscaleExecutable();

class TailscaleStatus {
 public:
  struct Info {
    std::string magicDNSName;  // without the trailing dot
    std::vector<std::string> tailscaleIPs;
    std::optional<std::string> backendState;
    // Every address of the tailnet's other machines ("Peer".*."TailscaleIPs").
    std::vector<std::string> peerIPs;
    // The account this computer is logged in as, while Tailscale runs.
    std::optional<std::string> loginName;
    bool operator==(const Info&) const = default;
  };

  explicit TailscaleStatus(std::string program = defaultTailscaleExecutable())
      : executable(std::move(program)) {}

  // Runs `tailscale status --json`. Throws PairingError::tailscaleUnavailable.
  Info read() const;

  std::string executable;
};

class TailscaleServe {
 public:
  explicit TailscaleServe(std::string program = defaultTailscaleExecutable())
      : executable(std::move(program)) {}

  // Runs `tailscale serve --bg --https=PORT http://127.0.0.1:LOCAL`. Throws
  // PairingError::tailscaleUnavailable with the program's error text.
  void ensure(std::uint16_t httpsPort, std::uint16_t forwardingTo) const;

  // Whether `tailscale serve status --json` shows HTTPS on `httpsPort`
  // proxied to `forwardingTo` on loopback. Throws
  // PairingError::tailscaleUnavailable.
  bool forwards(std::uint16_t httpsPort, std::uint16_t forwardingTo) const;

  std::string executable;
};

}  // namespace parley::link
