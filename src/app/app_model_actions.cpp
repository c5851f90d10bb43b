#include <cmath>

#include "app/app_model.hpp"
#include "app/app_model_detail.hpp"
#include "app/hook_setup.hpp"
#include "app/pairing_offer.hpp"
#include "app/session_command_sink.hpp"
#include "desktop/terminal_launcher.hpp"
#include "link/tailscale.hpp"
#include "text/unicode.hpp"

// The model's phone-link handling and its desktop actions: pairing,
// revocation, Tailscale, sleep and wake, hooks, the terminal, desktop voice
// and the glyph.

namespace parley::app {

// ---- phone link ----------------------------------------------------------------

void AppModel::handleServerStatus(const link::WebSocketServer::Status& status) {
  serverStatus_ = status;
  changed();
  if (const auto* failed = std::get_if<link::WebSocketServer::Failed>(&status)) {
    log(LogEntry::Kind::error, "listener failed: " + failed->message);
  } else if (std::holds_alternative<link::WebSocketServer::LocalNetworkDenied>(status)) {
    log(LogEntry::Kind::error,
        "network permission denied \u2014 the phone cannot reach this computer: the system "
        "refused to let Parley listen on port " +
            std::to_string(options_.server.port));
  }
  updatePulse();
}

void AppModel::handlePeerEvent(const link::WebSocketServer::PeerEvent& event) {
  using S = link::WebSocketServer;
  if (const auto* connected = std::get_if<S::Connected>(&event)) {
    connectedDevice_ = connected->device;
    reloadPairedDevices();
    log(LogEntry::Kind::cmd, connected->device.deviceName + " connected");
    sleepAssertion_->acquire();
  } else if (const auto* rejected = std::get_if<S::RejectedAddress>(&event)) {
    log(LogEntry::Kind::error, "refused non-Tailscale peer " + rejected->remote);
  } else if (const auto* gone = std::get_if<S::Disconnected>(&event)) {
    connectedDevice_.reset();
    latency_.reset();
    isListening_ = false;
    isSpeaking_ = false;
    log(LogEntry::Kind::cmd, "phone disconnected (" + gone->reason + ")");
    sleepAssertion_->release("peer disconnected");
  } else if (const auto* latency = std::get_if<S::Latency>(&event)) {
    latency_ = latency->seconds;
    changed();
  } else if (std::holds_alternative<S::RejectedToken>(event)) {
    log(LogEntry::Kind::error, "refused: bad or revoked pairing token");
  }
}

void AppModel::reloadPairedDevices() {
  offMain([pairing = pairing_] { return pairing.devices(); },
          [](AppModel& m, const Outcome<std::vector<link::PairedDevice>>& outcome) {
            if (outcome.error) {
              m.log(LogEntry::Kind::error, "device list unreadable: " + outcome.errorText());
              return;
            }
            m.pairedDevices_ = outcome.value;
            m.changed();
            m.updatePulse();
          });
}

void AppModel::checkTailscale() {
  offMain([exe = options_.tailscaleExecutable] { return link::TailscaleStatus(exe).read(); },
          [](AppModel& m, const Outcome<link::TailscaleStatus::Info>& outcome) {
            if (outcome.error) {
              m.tailscaleHost_.reset();
              m.changed();
              m.log(LogEntry::Kind::error, outcome.errorText());
              return;
            }
            const auto& info = outcome.value;
            if (info.magicDNSName.empty())
              m.tailscaleHost_.reset();
            else
              m.tailscaleHost_ = info.magicDNSName;
            m.changed();
            if (info.backendState == "Running")
              return;
            m.log(LogEntry::Kind::error, "Tailscale is not running (" +
                                             info.backendState.value_or("?") +
                                             ") \u2014 the phone cannot reach this computer");
          });
}

void AppModel::makePairingOffer(std::string deviceName) {
  PairingOfferInputs inputs{deviceName, tailscaleHost_, options_.server.port,
                            options_.tailscaleExecutable};
  offMain([inputs, pairing = pairing_] { return app::makePairingOffer(inputs, pairing); },
          [deviceName](AppModel& m, const Outcome<link::PairingPayload>& outcome) {
            if (outcome.error) {
              m.log(LogEntry::Kind::error, "pairing failed: " + outcome.errorText());
              return;
            }
            m.tailscaleHost_ = outcome.value.host;
            m.pairingOffer_ = outcome.value;
            m.changed();
            m.reloadPairedDevices();
            m.log(LogEntry::Kind::cmd, "pairing offer for \u201c" + deviceName +
                                           "\u201d \u2014 scan within this session");
          });
}

namespace {
struct Revoked {
  std::string name;
  std::vector<link::PairedDevice> remaining;
};
}  // namespace

void AppModel::revokeDevice(std::string deviceID) {
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
      [deviceID](AppModel& m, const Outcome<Revoked>& outcome) {
        if (outcome.error) {
          m.log(LogEntry::Kind::error, "revoke failed: " + outcome.errorText());
          return;
        }
        m.pairedDevices_ = outcome.value.remaining;
        if (m.connectedDevice_ && m.connectedDevice_->deviceID == deviceID) {
          m.connectedDevice_.reset();
          m.server_->stop(1001, "device revoked");
          m.server_->start();
        }
        m.changed();
        m.updatePulse();
        m.log(LogEntry::Kind::cmd, "revoked " + outcome.value.name);
      });
}

// ---- sleep and wake --------------------------------------------------------------

void AppModel::willSleep() {
  server_->closeForSleep();
  sleepAssertion_->release("system sleeping");
  log(LogEntry::Kind::cmd, "system sleeping \u2014 closed connection 1001");
}

void AppModel::didWake() {
  log(LogEntry::Kind::cmd, "woke \u2014 re-enumerating");
  sessions_.clear();
  connectedDevice_.reset();
  latency_.reset();
  changed();
  server_->resumeAfterWake();
  checkTailscale();
  refreshHookStatus();
}

// ---- desktop actions ----------------------------------------------------------

void AppModel::refreshHookStatus() {
  offMain([] { return hookStatus(); },
          [](AppModel& m, const Outcome<HookSetupStatus>& outcome) {
            if (outcome.error)
              return;
            m.relayInstalled_ = outcome.value.relayInstalled;
            m.hookInstalled_ = outcome.value.hookInstalled;
            m.changed();
          });
}

namespace {
struct SetupRun {
  HookChange change;
  std::vector<std::pair<LogEntry::Kind, std::string>> lines;
};
}  // namespace

void AppModel::runHookSetup(std::function<HookChange(const SetupReport&)> change) {
  offMain(
      [change = std::move(change)] {
        SetupRun run;
        run.change = change(
            [&run](LogEntry::Kind k, const std::string& l) { run.lines.emplace_back(k, l); });
        return run;
      },
      [](AppModel& m, const Outcome<SetupRun>& outcome) {
        for (const auto& [kind, line] : outcome.value.lines)
          m.log(kind, line);
        if (outcome.value.change.ok && outcome.value.change.backup)
          m.lastBackupPath_ = outcome.value.change.backup->string();
        m.refreshHookStatus();
      });
}

void AppModel::installHooks() {
  runHookSetup([dir = options_.executableDirectory](const SetupReport& report) {
    return app::installHooks(dir, report);
  });
}

void AppModel::uninstallHooks() {
  runHookSetup([](const SetupReport& report) { return app::uninstallHooks(report); });
}

void AppModel::openInTerminal(const protocol::SessionDescriptor& descriptor) {
  try {
    desktop::TerminalLauncher::open(descriptor.socketPath, descriptor.tmuxSession);
  } catch (const std::exception& e) {
    log(LogEntry::Kind::error, std::string("open in terminal failed: ") + e.what());
  }
}

void AppModel::startNativeVoice() {
  std::string error;
  if (voiceSession_->start(error) && voiceSession_->isRunning()) {
    log(LogEntry::Kind::cmd, "native voice mode started \u2014 speak at the computer's mic");
  } else if (!error.empty()) {
    log(LogEntry::Kind::error, "native voice mode failed to start: " + error);
  }
}

void AppModel::stopNativeVoice() {
  voiceSession_->stop();
  log(LogEntry::Kind::cmd, "native voice mode stopped");
}

void AppModel::submitFromNativeVoice(std::string text) {
  if (!sessionSink_) {
    log(LogEntry::Kind::error, "native voice: no session layer attached");
    return;
  }
  const std::optional<std::string> target = activeSession();
  if (!target) {
    log(LogEntry::Kind::error, "native voice: no active session to send \u201c" +
                                   std::string(text::characterPrefix(text, 60)) + "\u201d to");
    return;
  }
  // The sink's submit makes the same checks (injectable session, live pane),
  // injects with read-back and logs "sent to …".
  sessionSink_->submit(*target, std::move(text), true, std::nullopt,
                       [weak = weak_from_this()](std::exception_ptr error) {
                         if (!error)
                           return;
                         auto self = weak.lock();
                         if (!self)
                           return;
                         Outcome<bool> o{error};
                         self->onMain([text = o.errorText()](AppModel& m) {
                           m.log(LogEntry::Kind::error, "native voice submit failed: " + text);
                         });
                       });
}

// ---- the glyph ---------------------------------------------------------------------

GlyphState AppModel::glyphState() const {
  if (std::holds_alternative<link::WebSocketServer::Failed>(serverStatus_) ||
      std::holds_alternative<link::WebSocketServer::LocalNetworkDenied>(serverStatus_))
    return GlyphState::error;
  if (pairedDevices_.empty())
    return GlyphState::unpaired;
  if (permissionPending_)
    return GlyphState::permissionPending;
  if (isSpeaking_)
    return GlyphState::speaking;
  if (isListening_)
    return GlyphState::listening;
  return GlyphState::idle;
}

void AppModel::updatePulse() {
  if (glyphState() == GlyphState::permissionPending) {
    if (!pulseRunning_) {
      pulseRunning_ = true;
      schedulePulse();
    }
  } else if (pulseRunning_) {
    pulseRunning_ = false;
    pulseTimer_.cancel();
    pulsePhase_ = 0;
    changed();
  }
}

void AppModel::schedulePulse() {
  pulseTimer_.expires_after(std::chrono::microseconds(1000000 / 12));
  pulseTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self || !self->pulseRunning_)
      return;
    // One cycle every 1.5 seconds.
    double whole = 0;
    self->pulsePhase_ = std::modf(self->pulsePhase_ + 1.0 / 18.0, &whole);
    self->changed();
    self->schedulePulse();
  });
}

}  // namespace parley::app
