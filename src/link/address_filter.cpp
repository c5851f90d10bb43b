#include "link/address_filter.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace parley::link::TailscaleAddressFilter {

namespace {

using V4 = std::array<std::uint8_t, 4>;
using V6 = std::array<std::uint8_t, 16>;

struct Parsed {
  std::optional<V4> v4;
  std::optional<V6> v6;
};

Parsed parse(std::string_view text) {
  const std::string address(text.substr(0, text.find('%')));
  Parsed parsed;
  V4 v4;
  V6 v6;
  if (::inet_pton(AF_INET, address.c_str(), v4.data()) == 1)
    parsed.v4 = v4;
  else if (::inet_pton(AF_INET6, address.c_str(), v6.data()) == 1)
    parsed.v6 = v6;
  return parsed;
}

// The embedded address of ::ffff:a.b.c.d.
std::optional<V4> mappedV4(const V6& a) {
  for (int i = 0; i < 10; ++i) {
    if (a[i] != 0)
      return std::nullopt;
  }
  if (a[10] != 0xff || a[11] != 0xff)
    return std::nullopt;
  return V4{a[12], a[13], a[14], a[15]};
}

bool isTailscaleV4(const V4& a) {
  return a[0] == 100 && a[1] >= 64 && a[1] <= 127;
}

bool isLoopback(const Parsed& p) {
  if (p.v4)
    return (*p.v4)[0] == 127;
  if (!p.v6)
    return false;
  if (auto v4 = mappedV4(*p.v6))
    return (*v4)[0] == 127;
  static constexpr V6 kLoopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return *p.v6 == kLoopback;
}

}  // namespace

bool isLoopback(std::string_view address) {
  return isLoopback(parse(address));
}

bool isAllowed(std::string_view address) {
  const Parsed p = parse(address);
  if (isLoopback(p))
    return true;
  if (p.v4)
    return isTailscaleV4(*p.v4);
  if (!p.v6)
    return false;
  if (auto v4 = mappedV4(*p.v6))
    return isTailscaleV4(*v4);
  static constexpr std::array<std::uint8_t, 6> kPrefix{0xfd, 0x7a, 0x11, 0x5c, 0xa1, 0xe0};
  return std::equal(kPrefix.begin(), kPrefix.end(), p.v6->begin());
}

bool isAllowed(std::string_view address,
               const std::optional<std::vector<std::string>>& tailnetAddresses) {
  if (!tailnetAddresses)
    return isAllowed(address);
  const Parsed p = parse(address);
  if (isLoopback(p))
    return true;
  // Compared as addresses, so every spelling (a mapped IPv4, upper-case
  // hex, a zone) of one address is the same.
  std::optional<V4> v4 = p.v4;
  if (!v4 && p.v6)
    v4 = mappedV4(*p.v6);
  return std::any_of(tailnetAddresses->begin(), tailnetAddresses->end(), [&](const auto& known) {
    const Parsed k = parse(known);
    if (v4)
      return k.v4 == v4;
    return p.v6 && k.v6 == p.v6;
  });
}

bool isAllowed(const boost::asio::ip::tcp::endpoint& endpoint) {
  return isAllowed(endpoint.address().to_string());
}

}  // namespace parley::link::TailscaleAddressFilter
