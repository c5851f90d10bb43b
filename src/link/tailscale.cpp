#include "link/tailscale.hpp"

#include <boost/json.hpp>
#include <boost/url/parse.hpp>
#include <system_error>

#include "base/process.hpp"
#include "link/pairing.hpp"
#include "text/utf8.hpp"

namespace parley::link {

namespace json = boost::json;

std::string defaultTailscaleExecutable() {
  if (auto found = base::findExecutable("tailscale"))
    return found->string();
  return "/usr/bin/tailscale";
}

namespace {

base::ProcessResult run(const std::string& executable, const std::vector<std::string>& args) {
  if (!base::isExecutableFile(executable))
    throw PairingError::tailscaleUnavailable("no CLI at " + executable);
  try {
    return base::runProcess(executable, args);
  } catch (const std::system_error& e) {
    throw PairingError::tailscaleUnavailable(e.code().message());
  }
}

// A node's "TailscaleIPs" when it is a list of strings, else none.
std::vector<std::string> addressesOf(const json::value& node) {
  const json::value* ips =
      node.is_object() ? node.as_object().if_contains("TailscaleIPs") : nullptr;
  if (ips == nullptr || !ips->is_array())
    return {};
  std::vector<std::string> out;
  for (const json::value& ip : ips->as_array()) {
    if (!ip.is_string())
      return {};
    out.emplace_back(ip.as_string());
  }
  return out;
}

std::string exitText(const base::ProcessResult& result) {
  if (result.signal != 0)
    return "killed by signal " + std::to_string(result.signal);
  return "exit " + std::to_string(result.status);
}

}  // namespace

namespace {

// "User"[Self.UserID]."LoginName"; the user table is keyed by the id written
// as a decimal number.
std::optional<std::string> loginNameOf(const json::object& top, const json::value& self,
                                       const std::optional<std::string>& backendState) {
  if (backendState != "Running" || !self.is_object())
    return std::nullopt;
  const json::value* id = self.as_object().if_contains("UserID");
  const json::value* users = top.if_contains("User");
  if (!id || !id->is_number() || !users || !users->is_object())
    return std::nullopt;
  const json::value* user =
      users->as_object().if_contains(std::to_string(id->to_number<std::int64_t>()));
  const json::value* login =
      user && user->is_object() ? user->as_object().if_contains("LoginName") : nullptr;
  if (!login || !login->is_string() || login->as_string().empty())
    return std::nullopt;
  return std::string(login->as_string());
}

}  // namespace

TailscaleStatus::Info TailscaleStatus::read() const {
  const base::ProcessResult result = run(executable, {"status", "--json"});
  if (!result.ok())
    throw PairingError::tailscaleUnavailable(exitText(result));

  boost::system::error_code ec;
  const json::value status = json::parse(result.out, ec);
  if (ec || !status.is_object())
    throw PairingError::tailscaleUnavailable("unparseable status JSON");
  const json::object& top = status.as_object();

  Info info;
  if (const json::value* state = top.if_contains("BackendState"); state && state->is_string())
    info.backendState = std::string(state->as_string());

  const json::value* self = top.if_contains("Self");
  const json::value* name =
      self != nullptr && self->is_object() ? self->as_object().if_contains("DNSName") : nullptr;
  if (name == nullptr || !name->is_string())
    throw PairingError::tailscaleUnavailable("no Self.DNSName in status");
  info.magicDNSName = std::string(name->as_string());
  if (!info.magicDNSName.empty() && info.magicDNSName.back() == '.')
    info.magicDNSName.pop_back();

  info.tailscaleIPs = addressesOf(*self);
  info.loginName = loginNameOf(top, *self, info.backendState);
  if (const json::value* peers = top.if_contains("Peer"); peers != nullptr && peers->is_object()) {
    for (const auto& peer : peers->as_object()) {
      const std::vector<std::string> ips = addressesOf(peer.value());
      info.peerIPs.insert(info.peerIPs.end(), ips.begin(), ips.end());
    }
  }
  return info;
}

void TailscaleServe::ensure(std::uint16_t httpsPort, std::uint16_t forwardingTo) const {
  const base::ProcessResult result =
      run(executable, {"serve", "--bg", "--https=" + std::to_string(httpsPort),
                       "http://127.0.0.1:" + std::to_string(forwardingTo)});
  if (result.ok())
    return;
  std::string message = text::toValidUtf8(result.err);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  // A silent failure still needs a reason the user can act on.
  throw PairingError::tailscaleUnavailable(message.empty() ? exitText(result) : message);
}

namespace {

bool isLoopbackProxyTo(const json::value& proxy, std::uint16_t port) {
  if (!proxy.is_string())
    return false;
  std::string target;
  // "127.0.0.1:8787" reads as a scheme and a path until it has a scheme.
  if (std::string_view(proxy.as_string()).find("://") == std::string_view::npos)
    target = "http://";
  target += proxy.as_string();
  const auto url = boost::urls::parse_uri(target);
  if (!url || url->port_number() != port)
    return false;
  const std::string host(url->host());
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]" || host == "::1";
}

}  // namespace

bool TailscaleServe::forwards(std::uint16_t httpsPort, std::uint16_t forwardingTo) const {
  const base::ProcessResult result = run(executable, {"serve", "status", "--json"});
  if (!result.ok())
    throw PairingError::tailscaleUnavailable(exitText(result));
  boost::system::error_code ec;
  const json::value config = json::parse(result.out, ec);
  if (ec || !config.is_object())
    throw PairingError::tailscaleUnavailable("unparseable serve status JSON");
  // {"Web": {"HOST:443": {"Handlers": {"/": {"Proxy": "http://127.0.0.1:8787"}}}}}
  const json::value* web = config.as_object().if_contains("Web");
  if (web == nullptr || !web->is_object())
    return false;
  // Appended rather than `":" + to_string(...)`: GCC 12 misreads that
  // temporary as an overlapping copy at -O3 (-Wrestrict).
  std::string suffix = ":";
  suffix += std::to_string(httpsPort);
  for (const auto& [hostPort, site] : web->as_object()) {
    if (!std::string_view(hostPort).ends_with(suffix) || !site.is_object())
      continue;
    const json::value* handlers = site.as_object().if_contains("Handlers");
    if (handlers == nullptr || !handlers->is_object())
      continue;
    for (const auto& [mount, handler] : handlers->as_object()) {
      const json::value* proxy =
          handler.is_object() ? handler.as_object().if_contains("Proxy") : nullptr;
      if (proxy != nullptr && isLoopbackProxyTo(*proxy, forwardingTo))
        return true;
    }
  }
  return false;
}

}  // namespace parley::link
