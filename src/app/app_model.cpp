#include "app/app_model.hpp"

#include <boost/asio/bind_executor.hpp>

#include "app/app_model_detail.hpp"
#include "app/hook_setup.hpp"
#include "app/session_command_sink.hpp"
#include "base/paths.hpp"
#include "claude/hook_ingest.hpp"
#include "desktop/logind.hpp"
#include "link/tailscale.hpp"
#include "narration/hook_narration.hpp"
#include "parley_version.hpp"
#include "terminal/session_registry.hpp"
#include "text/unicode.hpp"

namespace parley::app {

using protocol::HookPayload;
using Event = protocol::HookPayload::Event;

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

}  // namespace parley::app
