#pragma once

// The application's side of the phone link: owns the WebSocket server and
// the pairing store, follows the server's status and the phone's connection,
// makes pairing offers, revokes devices, and checks Tailscale.
//
// It lives on the main thread. The server's callbacks and the blocking work
// it starts (Tailscale, the device file) hop back to the main thread, and do
// nothing once the controller is gone.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/activity_log.hpp"
#include "app/detached_sessions.hpp"
#include "link/pairing.hpp"
#include "link/push_notifier.hpp"
#include "link/websocket_server.hpp"
#include "protocol/session_commands.hpp"

namespace parley::app {

class PhoneLinkController : public std::enable_shared_from_this<PhoneLinkController> {
 public:
  struct Options {
    std::optional<std::filesystem::path> devicesFile;      // default: data directory
    std::optional<std::filesystem::path> preferencesFile;  // default: config directory
    std::string tailscaleExecutable;
    link::WebSocketServer::Configuration server;
    // The VAPID key pair; default: vapid.pem beside the device file.
    std::optional<std::filesystem::path> vapidKeyFile;
    link::PushNotifier::Configuration push;
    // What the phone is not told of; everything when none.
    std::shared_ptr<const DetachedSessions> detached;
  };

  // Where the controller reports; all called on the main thread.
  struct Outlets {
    std::function<void(LogEntry::Kind, std::string)> log;
    std::function<void()> changed;
    // A phone connected (the computer should stay awake), or went away.
    std::function<void()> phoneConnected;
    std::function<void()> phoneDisconnected;
    // The phone's hello was answered; what is published now follows it.
    std::function<void()> phoneGreeted;
    // Each message as it is published, for whoever decides what becomes a
    // notification (pushToPhone sends one).
    std::function<void(const protocol::ServerMessage&)> alert;
  };

  // The server's strand and the blocking work run on `workers`.
  static std::shared_ptr<PhoneLinkController> create(boost::asio::any_io_executor main,
                                                     boost::asio::any_io_executor workers,
                                                     Options options, Outlets outlets);
  PhoneLinkController(const PhoneLinkController&) = delete;
  PhoneLinkController& operator=(const PhoneLinkController&) = delete;

  // From here on every command a phone sends reaches `commands`.
  void attach(std::weak_ptr<protocol::SessionCommands> commands);
  // Starts the server, then checks Tailscale.
  void start();
  void publish(protocol::ServerMessage message);
  // What needs a phone that is away reaches it by Web Push, when it asked
  // for that; the notifier leaves out a phone that is connected.
  void pushToPhone(const protocol::ServerMessage& message);
  // The VAPID subject the person set ("" for this desktop's https://
  // Tailscale address), and whether pushes carry nothing but a ping.
  void setPushContent(std::string subjectSetting, bool pingOnly);
  // The subject push services are told now.
  const std::string& pushSubject() const { return pushSubject_; }

  void makePairingOffer(std::string deviceName);
  // Forgets the offer shown, so its one-time secret is shown no more, with
  // the device it made unless a phone has already paired with it.
  void discardPairingOffer();
  void revokeDevice(std::string deviceID);
  void checkTailscale();
  // The system is going to sleep: the phone is closed with 1001.
  void closeForSleep();
  // After a wake: forget the phone, listen again, check Tailscale.
  void resumeAfterWake();

  const link::WebSocketServer::Status& serverStatus() const { return serverStatus_; }
  const std::optional<link::PairedDevice>& connectedDevice() const { return connectedDevice_; }
  std::optional<double> latency() const { return latency_; }
  const std::vector<link::PairedDevice>& pairedDevices() const { return pairedDevices_; }
  const std::optional<std::string>& tailscaleHost() const { return tailscaleHost_; }
  const std::optional<link::PairingPayload>& pairingOffer() const { return pairingOffer_; }
  // Notifications to phones whose page is closed; null when this desktop
  // cannot send them (its key pair could not be read or made).
  link::PushNotifier* notifier() const { return notifier_.get(); }

 private:
  PhoneLinkController(boost::asio::any_io_executor main, boost::asio::any_io_executor workers,
                      Options options, Outlets outlets);
  void wire();
  void handleServerStatus(const link::WebSocketServer::Status& status);
  void handlePeerEvent(const link::WebSocketServer::PeerEvent& event);
  void reloadPairedDevices();
  void applySubject();
  // Tailscale's name was read again (or could not be).
  void tailscaleKnown();
  void log(LogEntry::Kind kind, std::string text) { out_.log(kind, std::move(text)); }
  template <class Work, class Then>
  void offMain(Work work, Then then);

  boost::asio::any_io_executor main_;
  boost::asio::any_io_executor workers_;
  Options options_;
  Outlets out_;
  link::PairingStore pairing_;
  // The key pair, or why there is none: one member, so the reason cannot be
  // lost to the order members are made in.
  struct Vapid {
    std::optional<link::PushCrypto> keys;
    std::string problem;
  };
  static Vapid loadVapid(const Options& options);
  Vapid vapid_;
  // Before the server, which asks it whether a push endpoint may be used.
  std::unique_ptr<link::PushNotifier> notifier_;
  std::unique_ptr<link::WebSocketServer> server_;
  // Session names from the latest published list, for the notifications.
  std::map<std::string, std::string> sessionNames_;

  link::WebSocketServer::Status serverStatus_ = link::WebSocketServer::Stopped{};
  std::optional<link::PairedDevice> connectedDevice_;
  std::optional<double> latency_;
  std::vector<link::PairedDevice> pairedDevices_;
  std::optional<std::string> tailscaleHost_;
  std::optional<link::PairingPayload> pairingOffer_;
  std::string subjectSetting_;
  std::string pushSubject_;
  bool fallbackSubjectLogged_ = false;
};

}  // namespace parley::app
