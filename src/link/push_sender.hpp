#pragma once

// Hands one encrypted message to a browser's push service: a POST over
// libcurl with the headers Web Push asks for. Transport failures (no
// connection, timeout, stop) throw PushTransportError; every HTTP status
// comes back for the caller to judge.
//
// The endpoint came from a phone, so the desktop must not become its way
// into this machine or its network: every address a connection is about to
// be opened to is checked first, and one that no push service can have
// (loopback, private, link-local, carrier-grade NAT, multicast, unspecified)
// is refused with PushEndpointError before any connection is made. Checking
// the address being connected to, not an earlier lookup, also catches a
// name whose answer changes between the two.
//
// A transfer blocks its caller, but stop() (from any thread) ends every
// transfer in progress at once and fails every later one: shutting down
// never waits on a push service that does not answer.

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace parley::link {

struct PushTransportError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The endpoint cannot be posted to (its address is one no push service has,
// or its scheme is not allowed); retrying is no use.
struct PushEndpointError : std::runtime_error {
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

// Why an endpoint cannot be used, in words for the phone.
struct EndpointRefusal {
  std::string reason;
  // The host could not be looked up now; asking again later may work.
  bool retriable = false;
};

class PushSender {
 public:
  struct Options {
    std::chrono::milliseconds timeout = std::chrono::seconds(10);
    // Lets loopback addresses and plain http through, for a test's
    // stand-in push service. Set only by code; nothing a phone sends
    // reaches it.
    bool allowLoopback = false;
    // "HOST:PORT:ADDRESS[,ADDRESS…]" answers used instead of the resolver
    // (tests, which must not look names up).
    std::vector<std::string> pinnedAddresses;
  };

  // Copies share one stop: stopping any of them stops them all.
  PushSender();
  explicit PushSender(Options options);

  PushReply send(const PushRequest& request) const;

  // Looks the endpoint's host up as send() would and judges every address
  // it gets, without connecting to any. Blocks for the lookup.
  std::optional<EndpointRefusal> check(const std::string& endpoint) const;

  // Any thread: ends the transfers in progress; later ones fail at once.
  void stop();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace parley::link
