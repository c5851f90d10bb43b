#pragma once

// Decides when a paired phone whose page is closed gets a notification, and
// delivers it through the browser's push service: a permission request (with
// its tier; a destructive one says it must be approved at the keyboard), a
// question, and a turn that ran longer than a set time. Only devices that
// turned notifications on and are not connected right now are notified; a
// connected phone already shows the card.
//
// The on… calls only queue work and return at once, so the hook path never
// waits on a push service. The sending runs on a thread of the notifier's
// own, never on a shared pool: a push service that does not answer holds up
// nothing else, and the queue in front of it is bounded (when it is full the
// oldest message waiting is dropped, with a log line, since the newest is
// what the person needs now). Destroying the notifier ends the transfer in
// progress at once and drops what waits: nothing is sent after that. A
// refused subscription (404/410) is removed; 429, 5xx and transport failures
// are retried a bounded number of times with growing delays on a timer. An
// endpoint whose address no push service can have is never connected to.
// Every failure is one line through onLog.

#include <atomic>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "link/pairing.hpp"
#include "link/push_crypto.hpp"
#include "link/push_sender.hpp"
#include "protocol/server_messages.hpp"

namespace parley::link {

class PushNotifier {
 public:
  using Duration = std::chrono::steady_clock::duration;

  struct Configuration {
    // The VAPID contact a push service may write to (mailto: or https:).
    std::string subject = std::string(kFallbackVapidSubject);
    // Notices carry nothing of the session (see pingPayload).
    bool pingOnly = false;
    // A finished turn is news only after running at least this long.
    Duration longTurn = std::chrono::minutes(2);
    // How long a push service keeps an undelivered message.
    std::chrono::seconds ttl = std::chrono::minutes(30);
    // Tries per message, the first included.
    int maxAttempts = 4;
    Duration firstRetryDelay = std::chrono::seconds(5);  // doubled per retry
    Duration maxRetryDelay = std::chrono::minutes(2);
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(10);
    // Messages waiting to be sent, retries included.
    std::size_t queueCapacity = 32;
    // Loopback endpoints and plain http, for a test's stand-in push
    // service (PushSender::Options::allowLoopback).
    bool allowLoopbackEndpoints = false;
  };

  PushNotifier(Configuration configuration, PairingStore pairing, PushCrypto crypto);
  // Ends the transfer in progress, drops what waits and the pending
  // retries, and returns once the sending thread has ended.
  ~PushNotifier();
  PushNotifier(const PushNotifier&) = delete;
  PushNotifier& operator=(const PushNotifier&) = delete;

  // Set once, before the first event. Called on the notifier's thread, and
  // for a message dropped from a full queue on the thread that queued.
  void setOnLog(std::function<void(const std::string&)> callback);

  // Whether a subscription's endpoint may be posted to: nullopt when it
  // may, else why not. It is judged as every send judges it, without
  // connecting. Blocks for the name lookup; callable from any thread, also
  // after the notifier is gone (it then refuses at once).
  std::function<std::optional<EndpointRefusal>(const std::string& endpoint)> endpointCheck() const;

  // Both may change while running (a setting, Tailscale's name becoming
  // known); messages queued before the change go out under the new ones.
  void setSubject(std::string subject);
  void setPingOnly(bool pingOnly);

  // The phone link's connection: the device with this id sees events live.
  void deviceConnected(std::string deviceID);
  void deviceDisconnected();

  // `sessionName` is what the person calls the session (its label).
  void onPermissionRequest(const std::string& sessionName,
                           const protocol::PermissionRequest& request);
  void onQuestion(const std::string& sessionName, const protocol::QuestionRequest& question);
  // Notifies only when the turn's durationMS reaches longTurn.
  void onTurnFinished(const std::string& sessionName, const protocol::TurnFinished& finished);

  // The JSON the page's service worker receives (decrypted), for each kind.
  static std::string permissionPayload(const std::string& sessionName,
                                       const protocol::PermissionRequest& request);
  static std::string questionPayload(const std::string& sessionName,
                                     const protocol::QuestionRequest& question);
  static std::string turnPayload(const std::string& sessionName,
                                 const protocol::TurnFinished& finished);
  // What every notice is with ping-only on: no session name, no text, no
  // ids; the page learns what happened over its own link once opened.
  static std::string pingPayload();

  class Impl;

 private:
  // Decided when a message is queued: what is queued is already its payload.
  std::string payload(std::string full) const;

  boost::asio::thread_pool thread_{1};
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> pingOnly_;
};

}  // namespace parley::link
