#pragma once

// The browser's side of Web Push, for tests with a stand-in push service: a
// subscription's keys, the decryption of what arrives for it, and the check
// of the VAPID token a push service makes. Written against OpenSSL directly,
// apart from the code under test.

#include <openssl/evp.h>

#include <boost/json/value.hpp>
#include <memory>
#include <string>
#include <string_view>

#include "link/push_subscription.hpp"

namespace parley::test {

// URL-safe Base64 without padding, and back.
std::string b64url(std::string_view bytes);
std::string unb64url(std::string text);

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// One subscription: its P-256 key pair and auth secret.
struct Browser {
  Browser();
  PKey key;
  std::string auth = std::string(16, '\0');
  std::string point = std::string(65, '\0');

  link::PushSubscription subscription(const std::string& endpoint) const;
  // Opens an aes128gcm body; empty when anything does not check out.
  std::string decrypt(const std::string& body) const;
};

// Checks "vapid t=JWT, k=KEY" as a push service does; returns the claims,
// or null when the signature does not verify with k.
boost::json::value verifiedClaims(const std::string& authorization);

}  // namespace parley::test
