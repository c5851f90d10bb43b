#pragma once

// Decides when a paired phone whose page is closed gets a notification, and
// delivers it through the browser's push service: a permission request (with
// its tier; a destructive one says it must be approved at the keyboard), a
// question, and a turn that ran longer than a set time. Only devices that
// turned notifications on and are not connected right now are notified; a
// connected phone already shows the card.
//
// The on… calls only post work and return at once, so the hook path never
// waits on a push service. The work runs on a strand of the executor given,
// which must allow blocking (the worker pool): each POST blocks for at most
// the request timeout. A refused subscription (404/410) is removed; 429, 5xx
// and transport failures are retried a bounded number of times with growing
// delays on a timer. Every failure is one line through onLog.

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "link/pairing.hpp"
#include "link/push_crypto.hpp"
#include "protocol/server_messages.hpp"

namespace parley::link {

class PushNotifier {
 public:
  using Duration = std::chrono::steady_clock::duration;

  struct Configuration {
    // The VAPID contact a push service may write to (mailto: or https:).
    std::string subject = "mailto:parley@localhost";
    // A finished turn is news only after running at least this long.
    Duration longTurn = std::chrono::minutes(2);
    // How long a push service keeps an undelivered message.
    std::chrono::seconds ttl = std::chrono::minutes(30);
    // Tries per message, the first included.
    int maxAttempts = 4;
    Duration firstRetryDelay = std::chrono::seconds(5);  // doubled per retry
    Duration maxRetryDelay = std::chrono::minutes(2);
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(10);
  };

  PushNotifier(boost::asio::any_io_executor executor, Configuration configuration,
               PairingStore pairing, PushCrypto crypto);
  // Pending retries are cancelled; nothing more is sent.
  ~PushNotifier();
  PushNotifier(const PushNotifier&) = delete;
  PushNotifier& operator=(const PushNotifier&) = delete;

  // Set once, before the first event. Called on the notifier's strand.
  void setOnLog(std::function<void(const std::string&)> callback);

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

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace parley::link
