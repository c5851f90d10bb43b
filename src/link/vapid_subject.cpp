#include "link/vapid_subject.hpp"

#include <boost/url/parse.hpp>

namespace parley::link {

std::string urlOrigin(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed || !parsed->has_authority() || parsed->host().empty())
    return {};
  const std::string scheme = parsed->scheme();
  if (scheme != "https" && scheme != "http")
    return {};
  std::string origin = scheme + "://" + std::string(parsed->encoded_host());
  const bool defaultPort = parsed->port_number() == (scheme == "https" ? 443 : 80);
  if (parsed->has_port() && !parsed->port().empty() && !defaultPort)
    origin.append(":").append(parsed->port());
  return origin;
}

std::string defaultVapidSubject(const std::optional<std::string>& magicDNSName) {
  std::string host = magicDNSName.value_or("");
  while (!host.empty() && host.back() == '.')
    host.pop_back();
  if (host.empty())
    return std::string(kFallbackVapidSubject);
  return "https://" + host;
}

std::optional<std::string> vapidSubjectProblem(std::string_view subject) {
  const std::string shown = "\u201c" + std::string(subject.substr(0, 80)) + "\u201d";
  const auto parsed = boost::urls::parse_uri(subject);
  if (!parsed)
    return shown + " is not an https: or mailto: address";
  const std::string scheme = parsed->scheme();
  if (scheme == "https") {
    if (!parsed->has_authority() || parsed->host().empty())
      return shown + " names no host";
    if (parsed->has_userinfo())
      return shown + " carries credentials";
    return std::nullopt;
  }
  if (scheme != "mailto")
    return shown + " is neither https: nor mailto:";
  // One address: local@domain, where the domain has a dot and is not a
  // name only this machine knows.
  const std::string address = parsed->path();
  const auto at = address.find('@');
  if (parsed->has_query() || at == std::string::npos || at == 0 ||
      address.find_first_of("@,; \t", at + 1) != std::string::npos)
    return shown + " is not one mail address";
  const std::string domain = address.substr(at + 1);
  const auto dot = domain.find('.');
  if (dot == std::string::npos || dot == 0 || domain.back() == '.' || domain.ends_with(".local") ||
      domain.ends_with(".localhost"))
    return shown + " is not at a domain a push service accepts";
  return std::nullopt;
}

}  // namespace parley::link
