#include "cli/pair_commands.hpp"

#include <boost/json.hpp>
#include <ostream>

#include "app/pairing_offer.hpp"
#include "link/pairing.hpp"
#include "link/pairing_qr.hpp"
#include "link/tailscale.hpp"

namespace parley::cli {

namespace json = boost::json;

int pairCommand(const std::string& deviceName, bool asJson, std::uint16_t serverPort,
                std::ostream& out, std::ostream& err) {
  if (deviceName.empty()) {
    err << "parley pair: the device needs a name (--name)\n";
    return 2;
  }
  try {
    const link::PairingStore pairing;
    const link::PairingPayload payload = app::makePairingOffer(
        {deviceName, std::nullopt, serverPort, link::defaultTailscaleExecutable()}, pairing);
    if (asJson) {
      boost::json::object offer = boost::json::parse(payload.jsonString()).as_object();
      offer["url"] = payload.webAddress();
      out << boost::json::serialize(offer) << '\n';
      return 0;
    }
    out << link::PairingQR::image(payload).terminalText() << '\n';
    out << "Host: " << payload.host << "\nPort: " << payload.port << "\n\n"
        << "Scan with your phone's camera to open Parley there. This code contains a one-time "
           "secret for \u201c"
        << deviceName << "\u201d; anyone who sees it can pair in its place.\n";
    return 0;
  } catch (const std::exception& e) {
    err << "pairing failed: " << e.what() << '\n';
    return 1;
  }
}

int devicesCommand(bool asJson, std::ostream& out, std::ostream& err) {
  try {
    const auto [devices, problems] = link::PairingStore().deviceList();
    for (const std::string& problem : problems)
      err << "parley devices: " << problem << '\n';
    if (asJson) {
      json::array list;
      for (const auto& d : devices) {
        json::object o{{"deviceID", d.deviceID},
                       {"deviceName", d.deviceName},
                       {"createdAt", protocol::formatDate(d.createdAt)}};
        if (d.lastSeen)
          o["lastSeen"] = protocol::formatDate(*d.lastSeen);
        list.push_back(std::move(o));
      }
      out << json::serialize(list) << '\n';
      return 0;
    }
    if (devices.empty()) {
      out << "Nothing paired yet. Pair a phone with `parley pair --name NAME`.\n";
      return 0;
    }
    for (const auto& d : devices) {
      out << d.deviceID << "  " << d.deviceName << "  paired " << protocol::formatDate(d.createdAt)
          << (d.lastSeen ? "  last seen " + protocol::formatDate(*d.lastSeen)
                         : std::string(" \u00b7 never connected"))
          << '\n';
    }
    return 0;
  } catch (const std::exception& e) {
    err << "parley devices: " << e.what() << '\n';
    return 1;
  }
}

int revokeCommand(const std::string& deviceID, std::ostream& out, std::ostream& err) {
  try {
    const link::PairingStore pairing;
    std::optional<link::PairedDevice> device;
    for (const auto& d : pairing.devices()) {
      if (d.deviceID == deviceID)
        device = d;
    }
    if (!device) {
      err << "revoke failed: no paired device has the id " << deviceID << '\n';
      return 1;
    }
    pairing.revoke(deviceID);
    out << "revoked " << device->deviceName << '\n';
    return 0;
  } catch (const std::exception& e) {
    err << "revoke failed: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace parley::cli
