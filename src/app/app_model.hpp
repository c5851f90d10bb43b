#pragma once

// The spine of the running application: owns every long-lived component,
// wires their callbacks to each other, runs start-up and the periodic session
// refresh, and turns hook events into registry updates, broadcasts to the
// phone and activity-log lines.
//
// All of the model's state lives on the main io_context (the main thread).
// Components that block or keep their own strands (registry, command sink,
// hook listener, WebSocket server) run on the worker pool; their callbacks
// hold the model weakly and hop to the main context before touching it.
// Blocking work the model starts itself (Tailscale, the device file, Claude
// Code's settings) is posted to the workers and its result posted back.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/activity_log.hpp"
#include "app/desktop_voice.hpp"
#include "app/hook_setup.hpp"
#include "desktop/sleep_assertion.hpp"
#include "link/pairing.hpp"
#include "link/websocket_server.hpp"
#include "narration/speech_projector.hpp"
#include "protocol/hook_payload.hpp"
#include "protocol/session.hpp"

namespace parley::claude {
class HookIngest;
}
namespace parley::terminal {
class SessionRegistry;
}
namespace parley::desktop {
class LogindSleepWatcher;
}

namespace parley::app {

class SessionCommandSink;

// The menu-bar glyph's state, first match wins (see glyphState()).
enum class GlyphState { unpaired, idle, listening, speaking, permissionPending, error };

class AppModel : public std::enable_shared_from_this<AppModel> {
 public:
  struct Options {
    // Where Claude Code keeps its files (~/.claude) and "~" in log lines.
    std::filesystem::path home;
    std::filesystem::path procRoot = "/proc";
    std::filesystem::path hookSocket;
    std::optional<std::filesystem::path> devicesFile;      // default: data directory
    std::optional<std::filesystem::path> preferencesFile;  // default: config directory
    std::string tailscaleExecutable;
    // Where parley-hook is copied from when hooks are installed.
    std::filesystem::path executableDirectory;
    link::WebSocketServer::Configuration server;
    std::chrono::steady_clock::duration sweepInterval = std::chrono::seconds(30);
    std::chrono::steady_clock::duration sleepIdleInterval = std::chrono::seconds(60);
    std::chrono::milliseconds settleTimeout{600};
    std::chrono::milliseconds pollInterval{25};
    // Inhibits idle sleep; the logind one by default.
    std::function<std::unique_ptr<desktop::PowerInhibitor>()> makeInhibitor;
    // Follow logind's sleep and wake signals (off in tests).
    bool watchSystemSleep = true;

    // The defaults of the real application, from the environment.
    static Options defaults();
  };

  static std::shared_ptr<AppModel> create(boost::asio::io_context& main,
                                          boost::asio::any_io_executor workers, Options options,
                                          std::unique_ptr<DesktopVoice> voice = nullptr);
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
  void handleHook(protocol::HookPayload payload);
  std::optional<std::string> activeSession() const;
  void makePairingOffer(std::string deviceName);
  void revokeDevice(std::string deviceID);
  void checkTailscale();
  void refreshHookStatus();
  void installHooks();
  void uninstallHooks();
  void openInTerminal(const protocol::SessionDescriptor& descriptor);
  void startNativeVoice();
  void stopNativeVoice();
  void submitFromNativeVoice(std::string text);
  void willSleep();
  void didWake();
  GlyphState glyphState() const;

  // ---- published state (read on the main thread) ----
  const std::vector<protocol::SessionDescriptor>& sessions() const { return sessions_; }
  const std::optional<std::string>& activeSessionID() const { return activeSessionID_; }
  void setActiveSessionID(std::optional<std::string> id);
  const std::deque<LogEntry>& entries() const { return log_.entries(); }
  bool permissionPending() const { return permissionPending_; }
  const link::WebSocketServer::Status& serverStatus() const { return serverStatus_; }
  const std::optional<link::PairedDevice>& connectedDevice() const { return connectedDevice_; }
  std::optional<double> latency() const { return latency_; }
  const std::vector<link::PairedDevice>& pairedDevices() const { return pairedDevices_; }
  const std::optional<std::string>& tailscaleHost() const { return tailscaleHost_; }
  const std::optional<link::PairingPayload>& pairingOffer() const { return pairingOffer_; }
  bool hookInstalled() const { return hookInstalled_; }
  const std::optional<std::string>& lastBackupPath() const { return lastBackupPath_; }
  bool relayInstalled() const { return relayInstalled_; }
  double pulsePhase() const { return pulsePhase_; }
  bool isListening() const { return isListening_; }
  bool isSpeaking() const { return isSpeaking_; }
  bool isSleepAssertionHeld() const;

  // Observers, set once before start(); called on the main thread.
  std::function<void(const LogEntry&)> onLogEntry;
  std::function<void()> onChange;

  // Broadcasts to the phone, for the builders and tests.
  void publish(protocol::ServerMessage message);

 private:
  AppModel(boost::asio::io_context& main, boost::asio::any_io_executor workers, Options options,
           std::unique_ptr<DesktopVoice> voice);
  void wire();
  void changed();

  // Runs `work` on the worker pool and `then` with its result on the main
  // thread, if the model still exists.
  template <class Work, class Then>
  void offMain(Work work, Then then);
  // Posts `f` to the main thread, to run only if the model still exists.
  template <class F>
  void onMain(F f);

  // Installs or removes the hooks off the main thread, then logs the report.
  void runHookSetup(std::function<HookChange(const SetupReport&)> change);
  void processNextHook();
  void finishHook(const protocol::HookPayload& payload);
  void reloadPairedDevices();
  void handleServerStatus(const link::WebSocketServer::Status& status);
  void handlePeerEvent(const link::WebSocketServer::PeerEvent& event);
  void updatePulse();
  void schedulePulse();
  void scheduleSweep();
  std::string tildePath(const std::string& path) const;

  boost::asio::io_context& main_;
  boost::asio::any_io_executor workers_;
  Options options_;

  // Published state.
  std::vector<protocol::SessionDescriptor> sessions_;
  std::optional<std::string> activeSessionID_;
  ActivityLog log_;
  bool permissionPending_ = false;
  link::WebSocketServer::Status serverStatus_ = link::WebSocketServer::Stopped{};
  std::optional<link::PairedDevice> connectedDevice_;
  std::optional<double> latency_;
  std::vector<link::PairedDevice> pairedDevices_;
  std::optional<std::string> tailscaleHost_;
  std::optional<link::PairingPayload> pairingOffer_;
  bool hookInstalled_ = false;
  std::optional<std::string> lastBackupPath_;
  bool relayInstalled_ = false;
  double pulsePhase_ = 0;
  bool isListening_ = false;
  bool isSpeaking_ = false;

  // Components.
  std::shared_ptr<claude::HookIngest> ingest_;
  std::shared_ptr<terminal::SessionRegistry> registry_;
  link::PairingStore pairing_;
  std::unique_ptr<link::WebSocketServer> server_;
  std::shared_ptr<SessionCommandSink> sessionSink_;
  std::unique_ptr<desktop::SleepAssertion> sleepAssertion_;
  std::unique_ptr<desktop::LogindSleepWatcher> sleepWatcher_;
  narration::SpeechProjector speechProjector_{900};
  std::unique_ptr<DesktopVoice> voiceSession_;

  boost::asio::steady_timer sweepTimer_;
  boost::asio::steady_timer pulseTimer_;
  bool pulseRunning_ = false;
  // Hook events are handled one at a time, in arrival order, so the phone
  // sees each event's session update before the next event's narration.
  std::deque<protocol::HookPayload> pendingHooks_;
  bool handlingHook_ = false;
  static constexpr std::chrono::seconds kHookSweepSpacing{2};
  std::chrono::steady_clock::time_point lastHookSweep_{};
};

}  // namespace parley::app
