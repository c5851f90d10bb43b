#pragma once

// Hands one encrypted message to a browser's push service: a POST over
// libcurl with the headers Web Push asks for. Transport failures (no
// connection, timeout, stop) throw PushTransportError; every HTTP status
// comes back for the caller to judge.
//
// A transfer blocks its caller, but stop() (from any thread) ends every
// transfer in progress at once and fails every later one: shutting down
// never waits on a push service that does not answer.

#include <chrono>
#include <memory>
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
  // Copies share one stop: stopping any of them stops them all.
  explicit PushSender(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  PushReply send(const PushRequest& request) const;

  // Any thread: ends the transfers in progress; later ones fail at once.
  void stop();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace parley::link
