#include "app/phone_link_controller.hpp"

#include "app/pairing_offer.hpp"
#include "app/thread_hops.hpp"
#include "link/tailscale.hpp"

namespace parley::app {

using Server = link::WebSocketServer;

PhoneLinkController::Vapid PhoneLinkController::loadVapid(const Options& options) {
  const std::filesystem::path file = options.vapidKeyFile ? *options.vapidKeyFile
                                     : options.devicesFile
                                         ? options.devicesFile->parent_path() / "vapid.pem"
                                         : link::PushCrypto::defaultKeyFile();
  try {
    return {link::PushCrypto::loadOrCreate(file), {}};
  } catch (const std::exception& e) {
    return {std::nullopt, e.what()};
  }
}

namespace {

// Without a notifier no endpoint can be checked, and push_subscribe is
// refused.
Server::Configuration withPush(Server::Configuration configuration,
                               const std::optional<link::PushCrypto>& vapid,
                               const link::PushNotifier* notifier) {
  configuration.vapidPublicKey = vapid ? vapid->publicKey() : std::string();
  if (notifier)
    configuration.pushEndpointCheck = notifier->endpointCheck();
  return configuration;
}

// An image for a detached session would wait on the desktop for a prompt
// that is refused anyway.
Server::Configuration withDetached(Server::Configuration configuration,
                                   std::shared_ptr<const DetachedSessions> detached) {
  if (detached)
    configuration.imageRefusal =
        [detached = std::move(detached)](const std::string& id) -> std::optional<std::string> {
      if (detached->has(id))
        return std::string(DetachedSessions::refusal);
      return std::nullopt;
    };
  return configuration;
}

}  // namespace

std::shared_ptr<PhoneLinkController> PhoneLinkController::create(
    boost::asio::any_io_executor main, boost::asio::any_io_executor workers, Options options,
    Outlets outlets) {
  std::shared_ptr<PhoneLinkController> controller(new PhoneLinkController(
      std::move(main), std::move(workers), std::move(options), std::move(outlets)));
  controller->wire();
  return controller;
}

PhoneLinkController::PhoneLinkController(boost::asio::any_io_executor main,
                                         boost::asio::any_io_executor workers, Options options,
                                         Outlets outlets)
    : main_(std::move(main)),
      workers_(std::move(workers)),
      options_(std::move(options)),
      out_(std::move(outlets)),
      pairing_("com.ketchworks.parley.pairing", options_.devicesFile,
               options_.preferencesFile ? link::Preferences(*options_.preferencesFile)
                                        : link::Preferences()),
      vapid_(loadVapid(options_)),
      notifier_(vapid_.keys
                    ? std::make_unique<link::PushNotifier>(options_.push, pairing_, *vapid_.keys)
                    : nullptr),
      server_(std::make_unique<Server>(
          workers_,
          withDetached(withPush(options_.server, vapid_.keys, notifier_.get()), options_.detached),
          pairing_)),
      pushSubject_(options_.push.subject) {}

template <class Work, class Then>
void PhoneLinkController::offMain(Work work, Then then) {
  offThread(workers_, main_, weak_from_this(), std::move(work), std::move(then));
}

void PhoneLinkController::wire() {
  if (!vapid_.keys)
    log(LogEntry::Kind::error, "notifications unavailable: " + vapid_.problem);
  try {
    link::PairingStore::DeviceList list = pairing_.deviceList();
    pairedDevices_ = std::move(list.devices);
    for (const std::string& problem : list.problems)
      log(LogEntry::Kind::error, "device list: " + problem);
  } catch (const std::exception& e) {
    log(LogEntry::Kind::error, std::string("device list unreadable: ") + e.what());
  }
  auto hop = [main = main_, weak = weak_from_this()](auto f) {
    return [main, weak, f](const auto& value) {
      postIfAlive(main, weak, [f, value](PhoneLinkController& c) { f(c, value); });
    };
  };
  server_->setOnStatusChange(
      hop([](PhoneLinkController& c, const Server::Status& s) { c.handleServerStatus(s); }));
  server_->setOnPeerEvent(
      hop([](PhoneLinkController& c, const Server::PeerEvent& e) { c.handlePeerEvent(e); }));
  server_->setOnLog(hop(
      [](PhoneLinkController& c, const std::string& line) { c.log(LogEntry::Kind::cmd, line); }));
  if (notifier_)
    notifier_->setOnLog(hop([](PhoneLinkController& c, const std::string& line) {
      c.log(LogEntry::Kind::error, line);
    }));
}

void PhoneLinkController::attach(std::weak_ptr<protocol::SessionCommands> commands) {
  server_->attach(std::move(commands));
}

void PhoneLinkController::start() {
  server_->start();
  checkTailscale();
}

void PhoneLinkController::publish(protocol::ServerMessage message) {
  if (options_.detached) {
    auto shown = options_.detached->forPhone(std::move(message));
    if (!shown)
      return;
    message = std::move(*shown);
  }
  if (const auto* update = std::get_if<protocol::SessionUpdate>(&message)) {
    sessionNames_.clear();
    for (const auto& session : update->sessions)
      sessionNames_[session.sessionID] = session.shortName();
  }
  if (out_.alert)
    out_.alert(message);
  server_->publish(std::move(message));
}

void PhoneLinkController::pushToPhone(const protocol::ServerMessage& message) {
  if (!notifier_)
    return;
  const auto name = [&](const std::string& sessionID) {
    const auto it = sessionNames_.find(sessionID);
    return it == sessionNames_.end() ? std::string("Claude Code") : it->second;
  };
  if (const auto* request = std::get_if<protocol::PermissionRequest>(&message))
    notifier_->onPermissionRequest(name(request->sessionID), *request);
  else if (const auto* question = std::get_if<protocol::QuestionRequest>(&message))
    notifier_->onQuestion(name(question->sessionID), *question);
  else if (const auto* finished = std::get_if<protocol::TurnFinished>(&message))
    notifier_->onTurnFinished(name(finished->sessionID), *finished);
}

void PhoneLinkController::setPushContent(std::string subjectSetting, bool pingOnly) {
  subjectSetting_ = std::move(subjectSetting);
  if (notifier_)
    notifier_->setPingOnly(pingOnly);
  applySubject();
}

// The person's subject, else this desktop's own address: Apple's push
// service accepts an https: URL, never the fallback.
void PhoneLinkController::applySubject() {
  pushSubject_ =
      subjectSetting_.empty() ? link::defaultVapidSubject(tailscaleHost_) : subjectSetting_;
  if (notifier_)
    notifier_->setSubject(pushSubject_);
}

void PhoneLinkController::handleServerStatus(const Server::Status& status) {
  serverStatus_ = status;
  out_.changed();
  if (std::holds_alternative<Server::Failed>(status) ||
      std::holds_alternative<Server::BindRefused>(status))
    log(LogEntry::Kind::error, "phone link " + link::describe(status).line +
                                   " \u2014 the phone cannot reach this computer");
}

void PhoneLinkController::handlePeerEvent(const Server::PeerEvent& event) {
  if (const auto* connected = std::get_if<Server::Connected>(&event)) {
    connectedDevice_ = connected->device;
    if (notifier_)
      notifier_->deviceConnected(connected->device.deviceID);
    reloadPairedDevices();
    log(LogEntry::Kind::cmd, connected->device.deviceName + " connected");
    out_.phoneConnected();
  } else if (const auto* rejected = std::get_if<Server::RejectedAddress>(&event)) {
    log(LogEntry::Kind::error, "refused non-Tailscale peer " + rejected->remote);
  } else if (const auto* gone = std::get_if<Server::Disconnected>(&event)) {
    connectedDevice_.reset();
    latency_.reset();
    if (notifier_)
      notifier_->deviceDisconnected();
    log(LogEntry::Kind::cmd, "phone disconnected (" + gone->reason + ")");
    out_.phoneDisconnected();
  } else if (std::holds_alternative<Server::Greeted>(event)) {
    if (out_.phoneGreeted)
      out_.phoneGreeted();
  } else if (const auto* latency = std::get_if<Server::Latency>(&event)) {
    latency_ = latency->seconds;
    out_.changed();
  } else if (std::holds_alternative<Server::RejectedToken>(event)) {
    log(LogEntry::Kind::error, "refused: bad or revoked pairing token");
  }
}

void PhoneLinkController::reloadPairedDevices() {
  offMain([pairing = pairing_] { return pairing.devices(); },
          [](PhoneLinkController& c, const Outcome<std::vector<link::PairedDevice>>& outcome) {
            if (outcome.error) {
              c.log(LogEntry::Kind::error, "device list unreadable: " + outcome.errorText());
              return;
            }
            c.pairedDevices_ = outcome.value;
            c.out_.changed();
          });
}

void PhoneLinkController::checkTailscale() {
  offMain([exe = options_.tailscaleExecutable] { return link::TailscaleStatus(exe).read(); },
          [](PhoneLinkController& c, const Outcome<link::TailscaleStatus::Info>& outcome) {
            if (outcome.error) {
              c.tailscaleHost_.reset();
              c.tailscaleKnown();
              c.log(LogEntry::Kind::error, outcome.errorText());
              return;
            }
            const auto& info = outcome.value;
            if (info.magicDNSName.empty())
              c.tailscaleHost_.reset();
            else
              c.tailscaleHost_ = info.magicDNSName;
            c.tailscaleKnown();
            if (info.backendState == "Running")
              return;
            c.log(LogEntry::Kind::error, "Tailscale is not running (" +
                                             info.backendState.value_or("?") +
                                             ") \u2014 the phone cannot reach this computer");
          });
}

void PhoneLinkController::tailscaleKnown() {
  applySubject();
  out_.changed();
  if (subjectSetting_.empty() && !tailscaleHost_ && notifier_ && !fallbackSubjectLogged_) {
    fallbackSubjectLogged_ = true;
    log(LogEntry::Kind::error,
        "no Tailscale name for the push services: notifications are signed " + pushSubject_ +
            ", which Apple's refuses (set a contact in the control panel's Notifications "
            "settings)");
  }
}

void PhoneLinkController::makePairingOffer(std::string deviceName) {
  PairingOfferInputs inputs{deviceName, tailscaleHost_, options_.server.port,
                            options_.tailscaleExecutable};
  offMain([inputs, pairing = pairing_] { return app::makePairingOffer(inputs, pairing); },
          [deviceName](PhoneLinkController& c, const Outcome<link::PairingPayload>& outcome) {
            if (outcome.error) {
              c.log(LogEntry::Kind::error, "pairing failed: " + outcome.errorText());
              return;
            }
            c.tailscaleHost_ = outcome.value.host;
            c.applySubject();
            c.pairingOffer_ = outcome.value;
            c.out_.changed();
            c.reloadPairedDevices();
            c.log(LogEntry::Kind::cmd, "pairing offer for \u201c" + deviceName +
                                           "\u201d \u2014 scan within this session");
          });
}

void PhoneLinkController::discardPairingOffer() {
  if (!pairingOffer_)
    return;
  const std::string token = pairingOffer_->token;
  pairingOffer_.reset();
  out_.changed();
  // The device the offer made can only ever be paired with the secret just
  // thrown away: unless a phone already used it, it goes too, instead of
  // lingering in the list as a device nobody holds.
  offMain(
      [token, pairing = pairing_] {
        const auto device = pairing.device(token);
        if (device && !device->lastSeen)
          pairing.revoke(device->deviceID);
        return true;
      },
      [](PhoneLinkController& c, const Outcome<bool>& outcome) {
        if (outcome.error)
          c.log(LogEntry::Kind::error, "discarding the offer failed: " + outcome.errorText());
        c.reloadPairedDevices();
      });
}

namespace {
struct Revoked {
  std::string name;
  std::vector<link::PairedDevice> remaining;
};
}  // namespace

void PhoneLinkController::revokeDevice(std::string deviceID) {
  offMain(
      [deviceID, pairing = pairing_] {
        // The name comes from the store itself: the published list may lag.
        Revoked result{deviceID, {}};
        for (const auto& d : pairing.devices()) {
          if (d.deviceID == deviceID)
            result.name = d.deviceName;
        }
        pairing.revoke(deviceID);
        result.remaining = pairing.devices();
        return result;
      },
      [deviceID](PhoneLinkController& c, const Outcome<Revoked>& outcome) {
        if (outcome.error) {
          c.log(LogEntry::Kind::error, "revoke failed: " + outcome.errorText());
          return;
        }
        c.pairedDevices_ = outcome.value.remaining;
        if (c.connectedDevice_ && c.connectedDevice_->deviceID == deviceID) {
          c.connectedDevice_.reset();
          c.server_->stop(1001, "device revoked");
          c.server_->start();
        }
        c.out_.changed();
        c.log(LogEntry::Kind::cmd, "revoked " + outcome.value.name);
      });
}

void PhoneLinkController::closeForSleep() {
  server_->closeForSleep();
}

void PhoneLinkController::resumeAfterWake() {
  connectedDevice_.reset();
  if (notifier_)
    notifier_->deviceDisconnected();
  latency_.reset();
  out_.changed();
  server_->resumeAfterWake();
  checkTailscale();
}

}  // namespace parley::app
