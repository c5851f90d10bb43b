#include "link/page_origin.hpp"

#include <algorithm>
#include <cctype>

namespace parley::link {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool isLabel(std::string_view label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
    return false;
  return std::all_of(label.begin(), label.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0 || c == '-'; });
}

// Names a rebinding attacker cannot point at this machine: loopback, which
// a browser never lets a site's own name become, and Tailscale's names.
bool trustedHost(std::string_view authority) {
  std::string_view name = authority;
  if (name.starts_with('[')) {
    name = name.substr(0, name.find(']') + 1);
    return name == "[::1]";
  }
  name = name.substr(0, name.find(':'));
  const bool dottedLoopback =
      name.starts_with("127.") && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isdigit(c) != 0 || c == '.';
      });
  return name == "localhost" || dottedLoopback || name.ends_with(".ts.net");
}

}  // namespace

std::string tailnetOf(std::string_view magicDNSName) {
  std::string name = lower(magicDNSName);
  if (!name.empty() && name.back() == '.')
    name.pop_back();
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos || !isLabel(std::string_view(name).substr(0, dot)))
    return {};
  std::string tailnet = name.substr(dot + 1);
  constexpr std::string_view kSuffix = ".ts.net";
  if (tailnet.size() <= kSuffix.size() ||
      tailnet.compare(tailnet.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return {};
  const std::string_view first =
      std::string_view(tailnet).substr(0, tailnet.size() - kSuffix.size());
  if (first.find('.') != std::string_view::npos || !isLabel(first))
    return {};
  return tailnet;
}

bool pageOriginAllowed(std::string_view origin, std::string_view host, std::string_view tailnet) {
  if (origin.empty())
    return true;
  const std::string seen = lower(origin);
  const std::size_t scheme = seen.find("://");
  if (scheme == std::string::npos)
    return false;
  const std::string authority = seen.substr(scheme + 3);
  if (!host.empty() && authority == lower(host) && trustedHost(authority))
    return true;
  if (tailnet.empty() || seen.compare(0, scheme, "https") != 0)
    return false;
  // "<label>.<tailnet>", compared in place: GCC 12 misreads a `"." + name`
  // concatenation here as an overflow in the optimised build.
  const std::string net = lower(tailnet);
  const std::string_view seenAuthority(authority);
  if (seenAuthority.size() <= net.size() + 1 || !seenAuthority.ends_with(net) ||
      seenAuthority[seenAuthority.size() - net.size() - 1] != '.')
    return false;
  return isLabel(seenAuthority.substr(0, seenAuthority.size() - net.size() - 1));
}

}  // namespace parley::link
