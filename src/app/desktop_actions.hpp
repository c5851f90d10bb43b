#pragma once

// What the desktop itself asks of the application: installing and removing
// the hook relay, opening a session in a terminal, and desktop voice (its
// prompts go to the session driver, its answers are spoken). Lives on the
// main thread; blocking work runs on the worker pool and reports back.

#include <boost/asio/any_io_executor.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/activity_log.hpp"
#include "app/hook_setup.hpp"
#include "desktop/desktop_voice.hpp"
#include "protocol/session.hpp"
#include "protocol/session_commands.hpp"

namespace parley::app {

class DesktopActions : public std::enable_shared_from_this<DesktopActions> {
 public:
  struct Outlets {
    std::function<void(LogEntry::Kind, std::string)> log;
    std::function<void()> changed;
    // The session spoken prompts go to, if any.
    std::function<std::optional<std::string>()> activeSession;
  };

  static std::shared_ptr<DesktopActions> create(boost::asio::any_io_executor main,
                                                boost::asio::any_io_executor workers,
                                                std::filesystem::path executableDirectory,
                                                std::unique_ptr<desktop::DesktopVoice> voice,
                                                std::weak_ptr<protocol::SessionCommands> commands,
                                                Outlets outlets);

  void refreshHookStatus();
  void installHooks();
  void uninstallHooks();
  void openInTerminal(const protocol::SessionDescriptor& descriptor);

  void startVoice();
  void stopVoice();
  void submitFromVoice(std::string text);
  // A spoken "yes" or "no" to the followed session's permission request.
  // A refusal (a destructive call, no dialog open) is logged and said.
  void answerFromVoice(bool approve);
  // Speaks a session's narration (a turn's answer, a permission request)
  // when desktop voice is running and follows that session.
  void speakFor(const protocol::Narration& narration, const std::string& sessionID);

  bool hookInstalled() const { return hookInstalled_; }
  bool relayInstalled() const { return relayInstalled_; }
  const std::optional<std::string>& lastBackupPath() const { return lastBackupPath_; }
  const std::filesystem::path& relayPath() const { return relayPath_; }
  std::size_t registeredEvents() const { return registeredEvents_; }
  bool voiceRunning() const { return voice_->isRunning(); }
  desktop::DesktopVoice::Display voiceDisplay() const { return voice_->display(); }

 private:
  DesktopActions(boost::asio::any_io_executor main, boost::asio::any_io_executor workers,
                 std::filesystem::path executableDirectory,
                 std::unique_ptr<desktop::DesktopVoice> voice,
                 std::weak_ptr<protocol::SessionCommands> commands, Outlets outlets);
  void wireVoice();
  void runHookSetup(std::function<HookChange(const SetupReport&)> change);
  // Runs the command made for the followed session; a failure is logged
  // after `failure` and, when `sayFailure`, spoken.
  void runForActiveSession(const std::string& what,
                           std::function<protocol::SessionCommand(std::string id)> make,
                           std::string failure, bool sayFailure);
  void log(LogEntry::Kind kind, std::string text) { out_.log(kind, std::move(text)); }

  boost::asio::any_io_executor main_;
  boost::asio::any_io_executor workers_;
  std::filesystem::path executableDirectory_;
  std::unique_ptr<desktop::DesktopVoice> voice_;
  std::weak_ptr<protocol::SessionCommands> commands_;
  Outlets out_;

  bool hookInstalled_ = false;
  bool relayInstalled_ = false;
  std::optional<std::string> lastBackupPath_;
  std::filesystem::path relayPath_;
  std::size_t registeredEvents_ = 0;
};

}  // namespace parley::app
