#pragma once

// Hands one encrypted message to a browser's push service: a blocking POST
// over libcurl with the headers Web Push asks for. Transport failures (no
// connection, timeout) throw PushTransportError; every HTTP status comes back
// for the caller to judge.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace parley::link {

struct PushTransportError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PushRequest {
  enum class Urgency { low, normal, high };
  std::string endpoint;
  std::string authorization;  // "vapid t=…, k=…"
  std::string body;           // aes128gcm
  std::chrono::seconds ttl{0};
  Urgency urgency = Urgency::normal;
};

struct PushReply {
  long status = 0;
  // The service's Retry-After, when it gave one in seconds.
  std::optional<std::chrono::seconds> retryAfter;
};

class PushSender {
 public:
  explicit PushSender(std::chrono::milliseconds timeout = std::chrono::seconds(10))
      : timeout_(timeout) {}

  PushReply send(const PushRequest& request) const;

 private:
  std::chrono::milliseconds timeout_;
};

}  // namespace parley::link
