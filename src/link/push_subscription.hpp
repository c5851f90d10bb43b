#pragma once

// A browser's Web Push subscription, as a paired phone hands it over: where
// to POST (the push service's endpoint for that browser) and the keys that
// only that browser can decrypt with.

#include <boost/json/value.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace parley::link {

// Subscription input that cannot be used; the text says what is wrong.
struct PushSubscriptionError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct PushSubscription {
  std::string endpoint;
  std::string p256dh;  // the browser's public key, URL-safe Base64 of 65 bytes
  std::string auth;    // its auth secret, URL-safe Base64 of 16 bytes

  // Checks and normalises what a phone sent: the endpoint must be an https
  // URL, p256dh a point on P-256 and auth 16 bytes. Plain http is accepted
  // only to a loopback host and only when asked for (local stand-ins): a
  // phone must not make the desktop post to the services on its own
  // loopback. Throws PushSubscriptionError.
  static PushSubscription parse(std::string_view endpoint, std::string_view p256dh,
                                std::string_view auth, bool allowLoopbackHttp = false);

  // The decoded keys (valid after parse).
  std::string publicKeyBytes() const;
  std::string authBytes() const;

  boost::json::value toJson() const;
  // nullopt for a value that is not a usable subscription. What was stored
  // passed parse when it came in, loopback http included.
  static std::optional<PushSubscription> fromJson(const boost::json::value& value);

  bool operator==(const PushSubscription&) const = default;
};

}  // namespace parley::link
