#pragma once

// Decides from the remote address alone whether a connection may reach the
// WebSocket server: Tailscale addresses (100.64.0.0/10, fd7a:115c:a1e0::/48)
// and loopback, where Tailscale's HTTPS proxy connects from.

#include <boost/asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::link::TailscaleAddressFilter {

// An IPv6 zone ("%eth0") is ignored by both tests.
bool isLoopback(std::string_view address);
bool isAllowed(std::string_view address);
bool isAllowed(const boost::asio::ip::tcp::endpoint& endpoint);
// With the addresses Tailscale reports for this tailnet's machines, only
// those and loopback are admitted: other networks use 100.64.0.0/10 too
// (carrier-grade NAT). Without them (Tailscale's status unknown), isAllowed.
bool isAllowed(std::string_view address,
               const std::optional<std::vector<std::string>>& tailnetAddresses);

}  // namespace parley::link::TailscaleAddressFilter
