#pragma once

// The composition root of the running application: creates the long-lived
// parts, wires them to each other, runs start-up and the periodic session
// refresh, keeps the activity log, and gives one snapshot of the state to
// whoever shows it (the CLI, the control panel).
//
// The parts, each with one job:
//   HookPipeline         hook events → registry → log, narration, phone
//   PhoneLinkController  the WebSocket server, pairing, Tailscale, the phone
//   PowerPolicy          idle-sleep inhibitor, system sleep and wake
//   AlertPolicy          desktop notice or push, following the login session
//   DesktopActions       hook setup, terminal launcher, desktop voice
//   terminal::SessionDriver  carries out the commands on tmux panes
//
// All of the model's state and its parts live on the main io_context (the
// main thread). The registry, the hook listener and the WebSocket server
// keep their strands on the worker pool; the session driver runs on an
// executor of its own, so tmux never holds up the pool.

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/activity_log.hpp"
#include "app/alert_policy.hpp"
#include "app/app_state.hpp"
#include "app/desktop_actions.hpp"
#include "app/detached_sessions.hpp"
#include "app/phone_link_controller.hpp"
#include "app/power_policy.hpp"
#include "desktop/desktop_voice.hpp"
#include "protocol/hook_payload.hpp"
#include "terminal/session_driver.hpp"

namespace parley::claude {
class HookIngest;
}
namespace parley::terminal {
class SessionRegistry;
class PermissionTracker;
}  // namespace parley::terminal

namespace parley::app {}  // namespace parley::app

namespace parley::claude {
class TranscriptUsage;
class ModelPrices;
}  // namespace parley::claude

namespace parley::app {

class DeskInterrupts;
class HookPipeline;
class SessionEvents;
class VocabularyFeed;

class AppModel : public std::enable_shared_from_this<AppModel> {
 public:
  struct Options {
    // Where Claude Code keeps its files (~/.claude) and "~" in log lines.
    std::filesystem::path home;
    std::filesystem::path procRoot = "/proc";
    std::filesystem::path hookSocket;
    // Where parley-hook is copied from when hooks are installed.
    std::filesystem::path executableDirectory;
    PhoneLinkController::Options phoneLink;
    PowerPolicy::Options power;
    // Follow the login session's idle and lock state (off in tests that
    // have no private bus for it).
    bool watchPresence = true;
    std::chrono::steady_clock::duration sweepInterval = std::chrono::seconds(30);
    // Its timing; the model supplies the parts it shares with the rest.
    terminal::SessionDriver::Options driver;
    // The person's model prices (claude/model_prices.hpp); none when empty.
    std::filesystem::path prices;

    // The defaults of the real application, from the environment.
    static Options defaults();
  };

  // `workers` runs the strands that may block; `terminal` is the session
  // driver's own (one thread, used by nothing else).
  static std::shared_ptr<AppModel> create(boost::asio::io_context& main,
                                          boost::asio::any_io_executor workers,
                                          boost::asio::any_io_executor terminal, Options options,
                                          std::unique_ptr<desktop::DesktopVoice> voice = nullptr);
  ~AppModel();
  AppModel(const AppModel&) = delete;
  AppModel& operator=(const AppModel&) = delete;

  // Hook socket, phone server, Tailscale check, then a refresh now and every
  // sweep interval.
  void start();

  // ---- operations (main thread) ----
  void log(LogEntry::Kind kind, std::string text);
  void clearLog();
  void rescan();
  // The sessions now, from a sweep or a hook's list.
  void listed(const std::vector<protocol::SessionDescriptor>& sessions, bool swept = false);
  // Whether the phone's list would change: a session came, went or ended,
  // or a listed session's mode is not the last list's.
  bool phoneListDiffers(const std::vector<protocol::SessionDescriptor>& sessions) const;
  // From any thread.
  void handleHook(protocol::HookPayload payload);
  std::optional<std::string> activeSession() const;
  void setActiveSessionID(std::optional<std::string> id);
  void willSleep();
  void didWake();
  // Leaves a session alone (nothing of it reaches the phone or desktop
  // voice) or follows it again; false when no such session is listed.
  bool setDetached(const std::string& sessionID, bool detached);

  PhoneLinkController& phoneLink() { return *phoneLink_; }
  const AlertPolicy& alerts() const { return *alerts_; }
  // Stores the settings and follows them from now on; why not, when they
  // could not be stored.
  std::optional<std::string> setNotificationSettings(NotificationSettings settings);
  // Whether the phone may turn on accept edits and auto mode (off unless
  // allowed here, at the desk), kept in preferences.json.
  static constexpr std::string_view kPhoneGrantModesKey = "phoneMayGrantModes";
  bool phoneMayGrantModes() const;
  std::optional<std::string> setPhoneMayGrantModes(bool allowed);
  DesktopActions& desktop() { return *desktop_; }
  // The door the phone's commands go through; the panel reads a session's
  // changes through it too, off the main thread like the phone's.
  std::shared_ptr<protocol::SessionCommands> commands() const { return driver_; }
  // The prices the estimates use now, and why the person's price file was
  // not used, if it was not.
  const claude::ModelPrices& modelPrices() const;
  const std::optional<std::string>& modelPricesProblem() const { return pricesProblem_; }
  const std::filesystem::path& modelPricesFile() const { return options_.prices; }
  // Stores the table in the price file and estimates with it from now on;
  // why not, when it could not be stored. An unreadable file is kept beside
  // it ("prices.json.unreadable") rather than overwritten.
  std::optional<std::string> setModelPrices(claude::ModelPrices prices);

  // ---- state (read on the main thread) ----
  AppState snapshot() const;
  const std::deque<LogEntry>& entries() const { return log_.entries(); }
  // The parts a caller on every change needs, without a whole snapshot.
  const std::vector<protocol::SessionDescriptor>& sessions() const { return sessions_; }
  bool permissionPending() const;

  // Observers, set once before start(); called on the main thread.
  std::function<void(const LogEntry&)> onLogEntry;
  std::function<void()> onChange;

 private:
  AppModel(boost::asio::io_context& main, boost::asio::any_io_executor workers,
           boost::asio::any_io_executor terminal, Options options);
  void wire(std::unique_ptr<desktop::DesktopVoice> voice);
  void changed();
  void scheduleSweep();
  link::Preferences preferences() const;
  void deskNotice(std::string summary, std::string body);
  void toolFinished(const protocol::HookPayload& payload);

  boost::asio::io_context& main_;
  boost::asio::any_io_executor workers_;
  boost::asio::any_io_executor terminal_;
  Options options_;

  std::vector<protocol::SessionDescriptor> sessions_;
  std::optional<std::string> activeSessionID_;
  ActivityLog log_;

  std::shared_ptr<claude::HookIngest> ingest_;
  std::shared_ptr<terminal::SessionRegistry> registry_;
  std::shared_ptr<terminal::SessionDriver> driver_;
  std::shared_ptr<PhoneLinkController> phoneLink_;
  std::shared_ptr<HookPipeline> hooks_;
  std::shared_ptr<terminal::PermissionTracker> permissions_;
  std::unique_ptr<SessionEvents> events_;
  std::shared_ptr<VocabularyFeed> vocabulary_;
  std::unique_ptr<PowerPolicy> power_;
  std::shared_ptr<AlertPolicy> alerts_;
  std::unique_ptr<desktop::LogindPresenceWatcher> presence_;
  bool deskNoticeFailed_ = false;
  std::shared_ptr<DesktopActions> desktop_;
  // Each listed session's tokens, from its transcript (main thread).
  std::shared_ptr<claude::TranscriptUsage> usage_;
  std::optional<std::string> pricesProblem_;
  std::shared_ptr<DeskInterrupts> deskInterrupts_;
  std::shared_ptr<DetachedSessions> detached_ = std::make_shared<DetachedSessions>();
  // The driver as the phone reaches it: without the detached sessions.
  std::shared_ptr<FollowedCommands> phoneCommands_;
  // (tmux socket, pane) of each window opened from the phone in this run,
  // and whether its session has been listed yet.
  std::map<std::pair<std::string, std::string>, bool> openedFromPhone_;
  // AppState::changesSeen.
  std::map<std::string, std::uint64_t> changesSeen_;
  // Read by the session driver's strand.
  std::shared_ptr<std::atomic<bool>> grantModes_ = std::make_shared<std::atomic<bool>>(false);
  boost::asio::steady_timer sweepTimer_;
};

}  // namespace parley::app
