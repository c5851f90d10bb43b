#include "link/tailscale.hpp"

#include <boost/json.hpp>
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

}  // namespace parley::link
