#include "app/pairing_offer.hpp"

#include <unistd.h>

#include "link/tailscale.hpp"

namespace parley::app {

std::string computerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
    return name;
  return "computer";
}

link::PairingPayload makePairingOffer(const PairingOfferInputs& inputs,
                                      const link::PairingStore& pairing) {
  link::PairingPayload payload;
  payload.host = inputs.tailscaleHost
                     ? *inputs.tailscaleHost
                     : link::TailscaleStatus(inputs.tailscaleExecutable).read().magicDNSName;
  if (payload.host.empty())
    throw std::runtime_error("Tailscale is not reporting a MagicDNS name yet.");
  link::TailscaleServe(inputs.tailscaleExecutable).ensure(443, inputs.serverPort);
  payload.port = 443;
  payload.token = pairing.addDevice(inputs.deviceName, link::makeUUID());
  payload.deviceName = computerName();
  payload.serverID = pairing.serverID();
  return payload;
}

}  // namespace parley::app
