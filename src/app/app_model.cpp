#include "app/app_model.hpp"

#include <boost/asio/bind_executor.hpp>

#include "app/desk_interrupts.hpp"
#include "app/hook_pipeline.hpp"
#include "app/session_events.hpp"
#include "app/thread_hops.hpp"
#include "app/vocabulary_feed.hpp"
#include "claude/hook_ingest.hpp"
#include "claude/transcript_usage.hpp"
#include "desktop/desktop_notifier.hpp"
#include "desktop/logind.hpp"
#include "link/tailscale.hpp"
#include "narration/edit_diff.hpp"
#include "terminal/session_driver.hpp"
#include "terminal/session_registry.hpp"

namespace parley::app {

namespace asio = boost::asio;
using Kind = LogEntry::Kind;

void AppModel::changed() {
  if (onChange)
    onChange();
}

void AppModel::log(Kind kind, std::string text) {
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

link::Preferences AppModel::preferences() const {
  return options_.phoneLink.preferencesFile ? link::Preferences(*options_.phoneLink.preferencesFile)
                                            : link::Preferences();
}

std::optional<std::string> AppModel::setNotificationSettings(NotificationSettings settings) {
  try {
    settings.store(preferences());
  } catch (const std::exception& e) {
    return std::string("Could not store the setting: ") + e.what();
  }
  phoneLink_->setPushContent(settings.vapidSubject, settings.pingOnly);
  alerts_->setSettings(std::move(settings));
  changed();
  return std::nullopt;
}

const claude::ModelPrices& AppModel::modelPrices() const {
  return usage_->prices();
}

std::optional<std::string> AppModel::setModelPrices(claude::ModelPrices prices) {
  const std::filesystem::path& file = options_.prices;
  if (file.empty())
    return std::string("This run keeps no price file: the prices cannot be stored.");
  try {
    if (pricesProblem_ && std::filesystem::exists(file)) {
      std::filesystem::path aside = file;
      aside += ".unreadable";
      std::filesystem::rename(file, aside);
      log(Kind::cmd, "the unreadable price file is kept as " + aside.string());
    }
    prices.save(file);
  } catch (const std::exception& e) {
    return std::string("Could not store the prices: ") + e.what();
  }
  pricesProblem_.reset();
  usage_->setPrices(std::move(prices));
  log(Kind::cmd, "model prices saved to " + file.string());
  // Every listed session's estimate, at the new prices, here and on the
  // phone.
  std::vector<protocol::SessionDescriptor> sessions = sessions_;
  usage_->annotate(sessions);
  phoneLink_->publish(protocol::SessionUpdate{.sessions = sessions});
  listed(sessions);
  changed();
  return std::nullopt;
}

bool AppModel::phoneMayGrantModes() const {
  return grantModes_->load();
}

std::optional<std::string> AppModel::setPhoneMayGrantModes(bool allowed) {
  try {
    preferences().set(kPhoneGrantModesKey, allowed);
  } catch (const std::exception& e) {
    return std::string("Could not store the setting: ") + e.what();
  }
  grantModes_->store(allowed);
  log(Kind::cmd, allowed ? "the phone may now turn on accept edits and auto mode"
                         : "the phone may no longer turn on accept edits or auto mode");
  changed();
  return std::nullopt;
}

// One D-Bus call of up to two seconds: off the main thread. A desktop with
// no notification service is said once, not at every request.
void AppModel::deskNotice(std::string summary, std::string body) {
  offThread(
      workers_, main_.get_executor(), weak_from_this(),
      [summary = std::move(summary), body = std::move(body)] {
        return desktop::DesktopNotifier::notify(summary, body);
      },
      [](AppModel& self, const Outcome<std::string>& outcome) {
        const std::string problem = outcome.error ? outcome.errorText() : outcome.value;
        if (problem.empty() || self.deskNoticeFailed_)
          return;
        self.deskNoticeFailed_ = true;
        self.log(Kind::error, "desktop notification failed: " + problem);
      });
}

bool AppModel::permissionPending() const {
  return hooks_->permissionPending();
}

void AppModel::toolFinished(const protocol::HookPayload& payload) {
  using Event = protocol::HookPayload::Event;
  if (payload.hookEventName != Event::postToolUse &&
      payload.hookEventName != Event::postToolUseFailure)
    return;
  const std::string tool = payload.toolName.value_or("");
  if (!payload.sessionID || (!narration::EditDiff::isFileTool(tool) && tool != "Bash"))
    return;
  ++changesSeen_[*payload.sessionID];
  changed();
}

AppState AppModel::snapshot() const {
  const PhoneLinkController& link = *phoneLink_;
  std::set<std::string> fromPhone;
  for (const auto& s : sessions_)
    if (openedFromPhone_.contains({s.socketPath, s.paneID}))
      fromPhone.insert(s.sessionID);
  return AppState{.sessions = sessions_,
                  .activeSessionID = activeSessionID_,
                  .permissionPending = hooks_->permissionPending(),
                  .detached = detached_->all(),
                  .fromPhone = std::move(fromPhone),
                  .changesSeen = changesSeen_,
                  .serverStatus = link.serverStatus(),
                  .connectedDevice = link.connectedDevice(),
                  .latency = link.latency(),
                  .pairedDevices = link.pairedDevices(),
                  .tailscaleHost = link.tailscaleHost(),
                  .pairingOffer = link.pairingOffer(),
                  .hookInstalled = desktop_->hookInstalled(),
                  .relayInstalled = desktop_->relayInstalled(),
                  .lastBackupPath = desktop_->lastBackupPath(),
                  .sleepAssertionHeld = power_->isHeld()};
}

void AppModel::handleHook(protocol::HookPayload payload) {
  hooks_->handle(std::move(payload));
}

// ---- start-up and refresh ---------------------------------------------------------

void AppModel::start() {
  try {
    ingest_->start();
    log(Kind::cmd, "hook socket listening at " + ingest_->path().string() + " (0600)");
  } catch (const std::exception& e) {
    log(Kind::error, std::string("hook socket failed: ") + e.what());
  }
  phoneLink_->start();
  if (options_.watchPresence) {
    presence_ = std::make_unique<desktop::LogindPresenceWatcher>(main_.get_executor());
    presence_->onChange = [this](const desktop::Presence& p) {
      alerts_->presenceChanged(p);
      changed();  // the panel says where the person is
    };
    presence_->onUnavailable = [this](const std::string& why) {
      alerts_->presenceUnavailable(why);
    };
    try {
      presence_->start();
    } catch (const std::exception& e) {
      presence_.reset();
      alerts_->presenceUnavailable(e.what());
    }
  }
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
                     // A dialog nobody announced (open before we started)
                     // is found here.
                     self->permissions_->sweep(all);
                     std::vector<protocol::SessionDescriptor> descriptors;
                     descriptors.reserve(all.size());
                     for (auto& s : all)
                       descriptors.push_back(std::move(s.descriptor));
                     self->usage_->annotate(descriptors);
                     // A mode switched by Shift+Tab sends no hook, nor does
                     // a session whose window closed with it: only a sweep
                     // sees them, and the phone must too.
                     if (self->phoneListDiffers(descriptors))
                       self->phoneLink_->publish(protocol::SessionUpdate{.sessions = descriptors});
                     self->listed(descriptors, true);
                     self->deskInterrupts_->looked();
                   }));
}

bool AppModel::phoneListDiffers(const std::vector<protocol::SessionDescriptor>& sessions) const {
  if (sessions.size() != sessions_.size())
    return true;
  for (const auto& s : sessions) {
    const auto before = std::find_if(sessions_.begin(), sessions_.end(),
                                     [&](const auto& b) { return b.sessionID == s.sessionID; });
    // Only an end: a sweep's busy or waiting may be older than the hook
    // that the phone heard last.
    const auto ended = protocol::SessionState::ended;
    if (before == sessions_.end() || before->permissionMode != s.permissionMode ||
        (before->state != s.state && (before->state == ended || s.state == ended)))
      return true;
  }
  return false;
}

void AppModel::listed(const std::vector<protocol::SessionDescriptor>& sessions, bool swept) {
  if (sessions == sessions_)
    return;
  sessions_ = sessions;
  detached_->keepOnly(sessions_);
  std::erase_if(changesSeen_, [&](const auto& seen) {
    return std::none_of(sessions_.begin(), sessions_.end(),
                        [&](const auto& s) { return s.sessionID == seen.first; });
  });
  // A window is forgotten once its session, listed before, is gone: tmux
  // numbers the panes of a new server from the start again.
  for (auto it = openedFromPhone_.begin(); it != openedFromPhone_.end();) {
    const auto& window = it->first;
    const bool listed = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
      return s.socketPath == window.first && s.paneID == window.second;
    });
    if (it->second && !listed) {
      it = openedFromPhone_.erase(it);
    } else {
      it->second = it->second || listed;
      ++it;
    }
  }
  vocabulary_->sessionsChanged(sessions_, swept);
  changed();
}

bool AppModel::setDetached(const std::string& sessionID, bool detached) {
  const auto session = std::find_if(sessions_.begin(), sessions_.end(),
                                    [&](const auto& s) { return s.sessionID == sessionID; });
  if (session == sessions_.end())
    return false;
  if (detached_->has(sessionID) == detached)
    return true;
  if (detached)
    detached_->detach(sessionID);
  else
    detached_->follow(sessionID);
  log(Kind::cmd, (detached ? "detached " : "following ") + session->shortName() +
                     (detached ? " — the phone and voice leave it alone" : " again"));
  // The phone's list gains or loses it now, not at the next hook.
  phoneLink_->publish(protocol::SessionUpdate{.sessions = sessions_});
  changed();
  return true;
}

// ---- sleep and wake --------------------------------------------------------------

void AppModel::willSleep() {
  phoneLink_->closeForSleep();
  power_->release("system sleeping");
  log(Kind::cmd, "system sleeping \u2014 closed connection 1001");
}

void AppModel::didWake() {
  log(Kind::cmd, "woke \u2014 re-enumerating");
  sessions_.clear();
  changed();
  phoneLink_->resumeAfterWake();
  desktop_->refreshHookStatus();
}

}  // namespace parley::app
