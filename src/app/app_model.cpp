#include "app/app_model.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <cmath>
#include <type_traits>

#include "app/hook_setup.hpp"
#include "app/pairing_offer.hpp"
#include "app/session_command_sink.hpp"
#include "base/paths.hpp"
#include "claude/hook_ingest.hpp"
#include "desktop/logind.hpp"
#include "desktop/terminal_launcher.hpp"
#include "link/tailscale.hpp"
#include "narration/hook_narration.hpp"
#include "parley_version.hpp"
#include "terminal/session_registry.hpp"
#include "text/unicode.hpp"

namespace parley::app {

namespace asio = boost::asio;
using protocol::HookPayload;
using Event = protocol::HookPayload::Event;

namespace {

// What the worker produced, or why it failed.
template <class R>
struct Outcome {
  std::exception_ptr error;
  R value{};
  std::string errorText() const {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown error";
    }
  }
};

}  // namespace

AppModel::Options AppModel::Options::defaults() {
  Options o;
  o.home = base::homeDirectory();
  o.hookSocket = base::hookSocketPath();
  o.tailscaleExecutable = link::defaultTailscaleExecutable();
  o.executableDirectory = currentExecutableDirectory();
  o.server.serverVersion = kVersion;
  o.makeInhibitor = [] { return std::make_unique<desktop::LogindInhibitor>(); };
  return o;
}

std::shared_ptr<AppModel> AppModel::create(asio::io_context& main, asio::any_io_executor workers,
                                           Options options, std::unique_ptr<DesktopVoice> voice) {
  std::shared_ptr<AppModel> model(
      new AppModel(main, std::move(workers), std::move(options), std::move(voice)));
  model->wire();
  return model;
}

AppModel::AppModel(asio::io_context& main, asio::any_io_executor workers, Options options,
                   std::unique_ptr<DesktopVoice> voice)
    : main_(main),
      workers_(std::move(workers)),
      options_(std::move(options)),
      ingest_(claude::HookIngest::create(workers_, options_.hookSocket)),
      registry_(std::make_shared<terminal::SessionRegistry>(
          workers_, terminal::SessionSources::forHome(options_.home, options_.procRoot))),
      pairing_("com.ketchworks.parley.pairing", options_.devicesFile,
               options_.preferencesFile ? link::Preferences(*options_.preferencesFile)
                                        : link::Preferences()),
      server_(std::make_unique<link::WebSocketServer>(workers_, options_.server, pairing_)),
      voiceSession_(voice ? std::move(voice) : std::make_unique<UnbuiltDesktopVoice>()),
      sweepTimer_(main),
      pulseTimer_(main) {
  auto inhibitor = options_.makeInhibitor ? options_.makeInhibitor()
                                          : std::make_unique<desktop::LogindInhibitor>();
  sleepAssertion_ = std::make_unique<desktop::SleepAssertion>(
      main_.get_executor(), std::move(inhibitor), options_.sleepIdleInterval);
}

AppModel::~AppModel() {
  ingest_->stop();
  sweepTimer_.cancel();
  pulseTimer_.cancel();
}

template <class F>
void AppModel::onMain(F f) {
  asio::post(main_, [weak = weak_from_this(), f = std::move(f)]() mutable {
    if (auto self = weak.lock())
      f(*self);
  });
}

template <class Work, class Then>
void AppModel::offMain(Work work, Then then) {
  using R = std::invoke_result_t<Work>;
  asio::post(workers_, [&main = main_, weak = weak_from_this(), work = std::move(work),
                        then = std::move(then)]() mutable {
    if (weak.expired())
      return;
    Outcome<R> outcome;
    try {
      outcome.value = work();
    } catch (...) {
      outcome.error = std::current_exception();
    }
    asio::post(main, [weak, then = std::move(then), outcome = std::move(outcome)]() mutable {
      if (auto self = weak.lock())
        then(*self, outcome);
    });
  });
}

void AppModel::wire() {
  try {
    pairedDevices_ = pairing_.devices();
  } catch (const std::exception& e) {
    log(LogEntry::Kind::error, std::string("device list unreadable: ") + e.what());
  }
  refreshHookStatus();

  // From here on every command a phone sends reaches the command sink.
  sessionSink_ = std::make_shared<SessionCommandSink>(
      workers_, registry_,
      [weak = weak_from_this()](const std::string& line) {
        if (auto self = weak.lock())
          self->onMain([line](AppModel& m) { m.log(LogEntry::Kind::cmd, line); });
      },
      SessionCommandSink::Options{options_.settleTimeout, options_.pollInterval});
  server_->attach(sessionSink_);

  std::weak_ptr<AppModel> weak = weak_from_this();
  auto hop = [weak](auto f) {
    return [weak, f](const auto& value) {
      if (auto self = weak.lock())
        self->onMain([f, value](AppModel& m) { f(m, value); });
    };
  };
  server_->setOnStatusChange(
      hop([](AppModel& m, const link::WebSocketServer::Status& s) { m.handleServerStatus(s); }));
  server_->setOnPeerEvent(
      hop([](AppModel& m, const link::WebSocketServer::PeerEvent& e) { m.handlePeerEvent(e); }));
  server_->setOnLog(
      hop([](AppModel& m, const std::string& line) { m.log(LogEntry::Kind::cmd, line); }));

  ingest_->setOnPayload([weak](const HookPayload& payload, const std::string&) {
    if (auto self = weak.lock())
      self->onMain([payload](AppModel& m) { m.handleHook(payload); });
  });
  ingest_->setOnError(hop([](AppModel& m, const claude::HookIngestError& error) {
    m.log(LogEntry::Kind::error, std::string("hook ingest: ") + error.what());
  }));

  voiceSession_->onPrompt =
      hop([](AppModel& m, const std::string& text) { m.submitFromNativeVoice(text); });
  voiceSession_->onMetaCommand = hop([](AppModel& m, const std::string& name) {
    m.log(LogEntry::Kind::cmd, "voice meta command: " + name);
  });
  voiceSession_->onAnnouncement = hop([](AppModel& m, const std::string& message) {
    m.log(LogEntry::Kind::error, "voice: " + message);
  });

  sleepAssertion_->onUnavailable = [this](const std::string& why) {
    log(LogEntry::Kind::error, "idle sleep cannot be prevented: " + why);
  };

  if (options_.watchSystemSleep) {
    sleepWatcher_ = std::make_unique<desktop::LogindSleepWatcher>(main_.get_executor());
    sleepWatcher_->onWillSleep = [this] { willSleep(); };
    sleepWatcher_->onDidWake = [this] { didWake(); };
    try {
      sleepWatcher_->start();
    } catch (const std::exception&) {
      // Without a system bus there is no suspend to follow either.
      sleepWatcher_.reset();
    }
  }
}

void AppModel::changed() {
  if (onChange)
    onChange();
}

void AppModel::log(LogEntry::Kind kind, std::string text) {
  const LogEntry& entry = log_.append(kind, std::move(text));
  if (onLogEntry)
    onLogEntry(entry);
  changed();
}

void AppModel::clearLog() {
  log_.clear();
  changed();
}

void AppModel::setActiveSessionID(std::optional<std::string> id) {
  if (id == activeSessionID_)
    return;
  activeSessionID_ = std::move(id);
  changed();
}

std::optional<std::string> AppModel::activeSession() const {
  if (activeSessionID_)
    return activeSessionID_;
  if (!sessions_.empty())
    return sessions_.front().sessionID;
  return std::nullopt;
}

bool AppModel::isSleepAssertionHeld() const {
  return sleepAssertion_->isHeld();
}

void AppModel::publish(protocol::ServerMessage message) {
  server_->publish(std::move(message));
}

// ---- start-up and refresh ---------------------------------------------------------

void AppModel::start() {
  try {
    ingest_->start();
    log(LogEntry::Kind::cmd, "hook socket listening at " + ingest_->path().string() + " (0600)");
  } catch (const std::exception& e) {
    log(LogEntry::Kind::error, std::string("hook socket failed: ") + e.what());
  }
  server_->start();
  checkTailscale();
  sweepTimer_.cancel();
  scheduleSweep();
}

void AppModel::scheduleSweep() {
  rescan();
  sweepTimer_.expires_after(options_.sweepInterval);
  sweepTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec)
      return;
    if (auto self = weak.lock())
      self->scheduleSweep();
  });
}

void AppModel::rescan() {
  registry_->sweep(std::chrono::system_clock::now(),
                   asio::bind_executor(main_, [weak = weak_from_this()](
                                                  std::vector<terminal::RegisteredSession> all) {
                     auto self = weak.lock();
                     if (!self)
                       return;
                     std::vector<protocol::SessionDescriptor> descriptors;
                     for (auto& s : all)
                       descriptors.push_back(std::move(s.descriptor));
                     if (descriptors == self->sessions_)
                       return;
                     self->sessions_ = std::move(descriptors);
                     self->changed();
                   }));
}

// ---- the hook path -------------------------------------------------------------

void AppModel::handleHook(HookPayload payload) {
  pendingHooks_.push_back(std::move(payload));
  processNextHook();
}

void AppModel::processNextHook() {
  if (handlingHook_ || pendingHooks_.empty())
    return;
  handlingHook_ = true;
  HookPayload payload = std::move(pendingHooks_.front());
  pendingHooks_.pop_front();

  // A hook is activity: keep the computer awake while sessions work.
  sleepAssertion_->acquire();
  std::weak_ptr<AppModel> weak = weak_from_this();
  registry_->apply(
      payload, asio::bind_executor(main_, [weak, payload](
                                              std::optional<terminal::RegisteredSession> applied) {
        auto self = weak.lock();
        if (!self)
          return;
        if (!applied)
          return self->finishHook(payload);
        // Every event that names a session sends the phone the whole list,
        // changed or not.
        auto broadcast = asio::bind_executor(
            self->main_, [weak, payload](std::vector<terminal::RegisteredSession> all) {
              auto self = weak.lock();
              if (!self)
                return;
              protocol::SessionUpdate update;
              for (auto& s : all)
                update.sessions.push_back(std::move(s.descriptor));
              self->publish(std::move(update));
              self->finishHook(payload);
            });
        // A session that started after the last refresh has no version yet,
        // and so could not be driven until the next periodic refresh: refresh
        // now instead, at most every few seconds.
        const auto now = std::chrono::steady_clock::now();
        if (!applied->descriptor.claudeVersion && now - self->lastHookSweep_ >= kHookSweepSpacing) {
          self->lastHookSweep_ = now;
          self->registry_->sweep(std::chrono::system_clock::now(), std::move(broadcast));
        } else {
          self->registry_->all(std::move(broadcast));
        }
      }));
}

std::string AppModel::tildePath(const std::string& path) const {
  const std::string home = options_.home.string();
  if (!home.empty() && home != "/" &&
      (path == home || (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
                        path[home.size()] == '/')))
    return "~" + path.substr(home.size());
  return path;
}

void AppModel::finishHook(const HookPayload& payload) {
  const std::string tool = payload.toolName.value_or("tool");
  auto narrate = [&] {
    narration::HookNarration n = narration::narrateHook(payload, speechProjector_);
    if (n.questionLog)
      log(LogEntry::Kind::claude, *n.questionLog);
    for (auto& message : n.messages)
      publish(std::move(message));
    return n;
  };

  switch (payload.hookEventName) {
    case Event::sessionStart:
      log(LogEntry::Kind::cmd,
          "session started in " + (payload.cwd ? tildePath(*payload.cwd) : std::string("?")));
      break;
    case Event::sessionEnd:
      log(LogEntry::Kind::cmd, "session ended (" + payload.reason.value_or("?") + ")");
      break;
    case Event::userPromptSubmit:
      log(LogEntry::Kind::you,
          payload.prompt ? std::string(text::characterPrefix(*payload.prompt, 160)) : "(prompt)");
      break;
    case Event::preToolUse:
      if (payload.toolName)
        log(LogEntry::Kind::cmd, "\u2192 " + *payload.toolName);
      narrate();
      break;
    case Event::postToolUseFailure:
      log(LogEntry::Kind::error, tool + " failed");
      break;
    case Event::stop: {
      permissionPending_ = false;
      changed();
      if (payload.lastAssistantMessage && !payload.lastAssistantMessage->empty()) {
        log(LogEntry::Kind::claude,
            std::string(text::characterPrefix(*payload.lastAssistantMessage, 200)));
        const narration::HookNarration n = narrate();
        if (n.answer && voiceSession_->isRunning() && payload.sessionID &&
            payload.sessionID == activeSession()) {
          onMain([narration = n.answer->narration](AppModel& m) {
            m.voiceSession_->speak(narration);
          });
        }
      }
      break;
    }
    default:
      break;
  }

  if (payload.isPermissionPrompt()) {
    permissionPending_ = true;
    log(LogEntry::Kind::error, "permission needed: " + tool);
  }
  updatePulse();

  handlingHook_ = false;
  processNextHook();
}

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
