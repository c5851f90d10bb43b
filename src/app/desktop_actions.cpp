#include "app/desktop_actions.hpp"

#include <cctype>

#include "app/thread_hops.hpp"
#include "desktop/terminal_launcher.hpp"
#include "text/unicode.hpp"

namespace parley::app {

std::shared_ptr<DesktopActions> DesktopActions::create(
    boost::asio::any_io_executor main, boost::asio::any_io_executor workers,
    std::filesystem::path executableDirectory, std::unique_ptr<desktop::DesktopVoice> voice,
    std::weak_ptr<protocol::SessionCommands> commands, Outlets outlets) {
  std::shared_ptr<DesktopActions> actions(
      new DesktopActions(std::move(main), std::move(workers), std::move(executableDirectory),
                         std::move(voice), std::move(commands), std::move(outlets)));
  actions->wireVoice();
  return actions;
}

DesktopActions::DesktopActions(boost::asio::any_io_executor main,
                               boost::asio::any_io_executor workers,
                               std::filesystem::path executableDirectory,
                               std::unique_ptr<desktop::DesktopVoice> voice,
                               std::weak_ptr<protocol::SessionCommands> commands, Outlets outlets)
    : main_(std::move(main)),
      workers_(std::move(workers)),
      executableDirectory_(std::move(executableDirectory)),
      voice_(std::move(voice)),
      commands_(std::move(commands)),
      out_(std::move(outlets)) {}

void DesktopActions::wireVoice() {
  // Each hops to the main thread and does nothing once the actions are gone.
  auto hop = [main = main_, weak = weak_from_this()](auto f) {
    return [main, weak, f](const std::string& value) {
      postIfAlive(main, weak, [f, value](DesktopActions& a) { f(a, value); });
    };
  };
  voice_->onPrompt =
      hop([](DesktopActions& a, const std::string& text) { a.submitFromVoice(text); });
  voice_->onMetaCommand = hop([](DesktopActions& a, const std::string& name) {
    a.log(LogEntry::Kind::cmd, "voice meta command: " + name);
    if (name == "yes" || name == "no")
      a.answerFromVoice(name == "yes");
  });
  voice_->onAnnouncement = hop([](DesktopActions& a, const std::string& message) {
    a.log(LogEntry::Kind::error, "voice: " + message);
  });
  voice_->onError = hop([](DesktopActions& a, const std::string& message) {
    a.log(LogEntry::Kind::error, "voice: " + message);
  });
}

// ---- hooks ----------------------------------------------------------------------

void DesktopActions::refreshHookStatus() {
  offThread(
      workers_, main_, weak_from_this(), [] { return hookStatus(); },
      [](DesktopActions& a, const Outcome<HookSetupStatus>& outcome) {
        if (outcome.error)
          return;
        a.relayInstalled_ = outcome.value.relayInstalled;
        a.hookInstalled_ = outcome.value.hookInstalled;
        a.relayPath_ = outcome.value.relayPath;
        a.registeredEvents_ = outcome.value.detail.eventsWithRelay.size();
        a.out_.changed();
      });
}

namespace {
struct SetupRun {
  HookChange change;
  std::vector<std::pair<LogEntry::Kind, std::string>> lines;
};
}  // namespace

void DesktopActions::runHookSetup(std::function<HookChange(const SetupReport&)> change) {
  offThread(
      workers_, main_, weak_from_this(),
      [change = std::move(change)] {
        SetupRun run;
        run.change = change(
            [&run](LogEntry::Kind k, const std::string& l) { run.lines.emplace_back(k, l); });
        return run;
      },
      [](DesktopActions& a, const Outcome<SetupRun>& outcome) {
        for (const auto& [kind, line] : outcome.value.lines)
          a.log(kind, line);
        if (outcome.value.change.ok && outcome.value.change.backup)
          a.lastBackupPath_ = outcome.value.change.backup->string();
        a.refreshHookStatus();
      });
}

void DesktopActions::installHooks() {
  runHookSetup([dir = executableDirectory_](const SetupReport& report) {
    return app::installHooks(dir, report);
  });
}

void DesktopActions::uninstallHooks() {
  runHookSetup([](const SetupReport& report) { return app::uninstallHooks(report); });
}

void DesktopActions::openInTerminal(const protocol::SessionDescriptor& descriptor) {
  try {
    desktop::TerminalLauncher::open(descriptor.socketPath, descriptor.tmuxSession);
  } catch (const std::exception& e) {
    log(LogEntry::Kind::error, std::string("open in terminal failed: ") + e.what());
  }
}

// ---- desktop voice ------------------------------------------------------------------

void DesktopActions::startVoice() {
  std::string error;
  if (voice_->start(error) && voice_->isRunning()) {
    log(LogEntry::Kind::cmd, "native voice mode started \u2014 speak at the computer's mic");
  } else if (!error.empty()) {
    log(LogEntry::Kind::error, "native voice mode failed to start: " + error);
  }
}

void DesktopActions::stopVoice() {
  voice_->stop();
  log(LogEntry::Kind::cmd, "native voice mode stopped");
}

void DesktopActions::runForActiveSession(
    const std::string& what, std::function<protocol::SessionCommand(std::string id)> make,
    std::string failure, bool sayFailure) {
  const auto commands = commands_.lock();
  if (!commands) {
    log(LogEntry::Kind::error, "native voice: no session layer attached");
    return;
  }
  const std::optional<std::string> target = out_.activeSession();
  if (!target) {
    log(LogEntry::Kind::error, "native voice: no active session to " + what);
    return;
  }
  // The driver makes the same checks as for the phone (injectable session,
  // live pane, the remote-approval lock) and logs what it did.
  commands->run(make(*target), [main = main_, weak = weak_from_this(), failure = std::move(failure),
                                sayFailure](std::exception_ptr error, protocol::CommandResult) {
    if (!error)
      return;
    postIfAlive(main, weak,
                [failure, sayFailure, text = Outcome<bool>{error}.errorText()](DesktopActions& a) {
                  a.log(LogEntry::Kind::error, failure + text);
                  if (sayFailure && a.voice_->isRunning() && !text.empty()) {
                    std::string sentence = text;
                    sentence[0] =
                        static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
                    a.voice_->speak(protocol::Narration{
                        .text = sentence + ".", .speech = sentence + ".", .speak = true});
                  }
                });
  });
}

void DesktopActions::submitFromVoice(std::string text) {
  const std::string what =
      "send \u201c" + std::string(text::characterPrefix(text, 60)) + "\u201d to";
  runForActiveSession(
      what,
      [text = std::move(text)](std::string id) -> protocol::SessionCommand {
        return protocol::SpokenPrompt{.sessionID = std::move(id), .text = text};
      },
      "native voice submit failed: ", false);
}

void DesktopActions::answerFromVoice(bool approve) {
  runForActiveSession(
      "answer",
      [approve](std::string id) -> protocol::SessionCommand {
        return protocol::SpokenAnswer{.sessionID = std::move(id), .approve = approve};
      },
      "native voice answer failed: ", true);
}

void DesktopActions::speakFor(const protocol::Narration& narration, const std::string& sessionID) {
  if (!voice_->isRunning() || out_.activeSession() != sessionID)
    return;
  postIfAlive(main_, weak_from_this(),
              [narration](DesktopActions& a) { a.voice_->speak(narration); });
}

}  // namespace parley::app
