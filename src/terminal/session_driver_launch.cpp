// Sessions the phone starts, resumes and stops: the lists they are chosen
// from, the checks before a window opens, and the first prompt typed into
// it. Everything here takes ids the driver itself listed, never a path.

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "terminal/injected_prompts.hpp"
#include "terminal/input_policy.hpp"
#include "terminal/prompt_injector.hpp"
#include "terminal/session_driver.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
using protocol::SessionDescriptor;

namespace {

std::string folderName(const std::filesystem::path& folder) {
  return folder.has_filename() ? folder.filename().string() : folder.string();
}

}  // namespace

asio::awaitable<std::vector<SessionDescriptor>> SessionDriver::liveSessions() {
  const auto all = co_await registry_->all(asio::use_awaitable);
  std::vector<SessionDescriptor> descriptors;
  descriptors.reserve(all.size());
  for (const RegisteredSession& s : all) {
    if (s.descriptor.state != protocol::SessionState::ended)
      descriptors.push_back(s.descriptor);
  }
  co_return descriptors;
}

SessionDriver::Result SessionDriver::handle(protocol::ListProjects) {
  // Each co_await stands alone: GCC 12 mis-destroys temporaries of an
  // expression that also awaits.
  const std::vector<SessionDescriptor> live = co_await liveSessions();
  protocol::Projects listed;
  if (options_.catalog)
    listed.projects = options_.catalog->projects(live);
  co_return listed;
}

SessionDriver::Result SessionDriver::handle(protocol::ListHistory m) {
  const std::vector<SessionDescriptor> live = co_await liveSessions();
  auto page =
      options_.catalog ? options_.catalog->history(m.projectID, m.offset, live) : std::nullopt;
  if (!page)
    throw CommandError::unknownProject(m.projectID);
  co_return std::move(*page);
}

SessionDriver::Result SessionDriver::handle(protocol::StartSession m) {
  auto live = co_await liveSessions();
  const auto folder =
      options_.catalog ? options_.catalog->projectPath(m.projectID, live) : std::nullopt;
  if (!folder)
    throw CommandError::unknownProject(m.projectID);
  std::filesystem::path where = *folder;
  std::vector<std::string> noArguments;
  std::optional<std::string> noHistory;
  co_return co_await launch(std::move(where), std::move(noArguments), std::move(m.prompt),
                            std::move(noHistory), std::move(live));
}

SessionDriver::Result SessionDriver::handle(protocol::ResumeSession m) {
  auto live = co_await liveSessions();
  // Opened, not started twice: Claude Code keeps a resumed session's id.
  for (const SessionDescriptor& s : live) {
    // The registry learns of an exit at its next sweep; the pane knows now.
    if (s.sessionID == m.historyID && tmuxFor(s).paneExists(s.paneID)) {
      const std::string target = s.tmuxSession.empty() ? s.paneID : s.tmuxSession;
      co_return protocol::SessionStarted{
          .projectID = ProjectCatalog::projectID(s.cwd),
          .historyID = m.historyID,
          .sessionID = s.sessionID,
          .paneID = s.paneID,
          .tmuxTarget = target,
          .attach = SessionLauncher::attachCommand(s.socketPath, target),
          .alreadyLive = true};
    }
  }
  const auto past = options_.catalog ? options_.catalog->past(m.historyID) : std::nullopt;
  if (!past)
    throw CommandError::unknownHistory(m.historyID);
  if (const auto it = resumed_.find(past->historyID); it != resumed_.end()) {
    const SessionLauncher::Opened& o = it->second;
    if (TmuxClient(tmuxExecutable_, o.socketPath).paneExists(o.paneID))
      co_return protocol::SessionStarted{.projectID = ProjectCatalog::projectID(past->cwd),
                                         .historyID = past->historyID,
                                         .sessionID = std::nullopt,
                                         .paneID = o.paneID,
                                         .tmuxTarget = o.tmuxTarget,
                                         .attach = o.attach,
                                         .alreadyLive = true};
    resumed_.erase(it);
  }
  // Built apart from the co_await: GCC 12 mis-handles temporaries of an
  // expression that also awaits.
  std::vector<std::string> arguments{"--resume", past->historyID};
  std::filesystem::path where = past->cwd;
  std::optional<std::string> historyID = past->historyID;
  co_return co_await launch(std::move(where), std::move(arguments), std::nullopt,
                            std::move(historyID), std::move(live));
}

SessionDriver::Result SessionDriver::launch(std::filesystem::path folder,
                                            std::vector<std::string> arguments,
                                            std::optional<std::string> prompt,
                                            std::optional<std::string> historyID,
                                            std::vector<SessionDescriptor> live) {
  const std::string name = folderName(folder);
  if (!options_.launcher)
    throw CommandError::cannotStart("this desktop does not start sessions");
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    refuseIn(name, CommandError::folderGone(folder.string()));
  if (!options_.catalog->trusted(folder))
    refuseIn(name, CommandError::untrusted(folder.string()));
  // The first prompt meets the rules of any other before anything opens.
  if (prompt && text::trimmed(*prompt).empty())
    prompt.reset();
  if (prompt) {
    if (auto why = InputPolicy::refusal(PromptInjector::pasteForm(*prompt)))
      refuseIn(name, CommandError::notRemotely(*why));
  }
  SessionLauncher::Opened opened;
  try {
    opened = options_.launcher->open(folder, name, arguments, live);
  } catch (const SessionLauncher::LaunchError& e) {
    refuseIn(name, CommandError::cannotStart(e.what()));
  }
  if (historyID)
    resumed_[*historyID] = opened;
  if (options_.opened)
    options_.opened(opened.socketPath, opened.paneID);
  log((historyID ? "resumed a session in " : "started a session in ") + name + " from the phone (" +
      opened.tmuxTarget + ")");
  if (prompt)
    co_await typeFirstPrompt(opened, name, std::move(*prompt));
  co_return protocol::SessionStarted{.projectID = ProjectCatalog::projectID(folder),
                                     .historyID = std::move(historyID),
                                     .sessionID = std::nullopt,
                                     .paneID = opened.paneID,
                                     .tmuxTarget = opened.tmuxTarget,
                                     .attach = opened.attach,
                                     .alreadyLive = false};
}

asio::awaitable<void> SessionDriver::typeFirstPrompt(SessionLauncher::Opened opened,
                                                     std::string name, std::string prompt) {
  const TmuxClient tmux(tmuxExecutable_, opened.socketPath);
  asio::steady_timer timer(strand_);
  const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
  while (true) {
    if (!tmux.paneExists(opened.paneID))
      refuseIn(name, CommandError::cannotStart("Claude Code exited as it started in " + name +
                                               ": the prompt was not typed"));
    const std::string screen = tmux.capture(opened.paneID, std::nullopt, true);
    const auto box = PromptInjector::inputBox(screen);
    // A question at start (a new API key, changed settings) is the desk's.
    if (showsDecision(screen, box.has_value()))
      refuseIn(name, CommandError::cannotStart(
                         "Claude Code started in " + name +
                         " but asks something on its screen; answer it at the desk (" +
                         opened.attach + "): the prompt was not typed"));
    if (box)
      break;
    if (std::chrono::steady_clock::now() >= deadline)
      refuseIn(name, CommandError::cannotStart("Claude Code started in " + name +
                                               " but its input box did not appear: the prompt "
                                               "was not typed"));
    timer.expires_after(options_.pollInterval * 4);
    co_await timer.async_wait(asio::use_awaitable);
  }
  const PromptInjector injector(tmux, options_.settleTimeout, options_.pollInterval);
  // The turn it starts is the phone's, like any prompt typed from there.
  if (options_.injected)
    options_.injected->note(InjectedPrompts::paneKey(opened.paneID), prompt);
  co_await injector.injectAsync(prompt, opened.paneID, true);
  log("sent to " + name + ": " + std::string(text::characterPrefix(prompt, 60)));
}

SessionDriver::Result SessionDriver::handle(protocol::StopSession, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  // Ctrl-C on a dialog would answer it: a pending request is answered
  // first, at the desk or from the phone.
  requireNoDecision(session, co_await steadyLook(session));
  std::function<bool(const std::string&)> mayPress = [](const std::string& screen) {
    return !showsDecision(screen, PromptInjector::inputBox(screen).has_value());
  };
  TmuxClient tmux = tmuxFor(d);
  std::string pane = d.paneID;
  try {
    co_await SessionLauncher::stop(std::move(tmux), std::move(pane), std::move(mayPress),
                                   options_.stopTimeout, options_.pollInterval * 4);
  } catch (const SessionLauncher::LaunchError& e) {
    refuse(d,
           CommandError::cannotStart(std::string("could not stop ") + label(d) + ": " + e.what()));
  }
  log("stopped " + label(d) + " from the phone");
  if (options_.listChanged)
    options_.listChanged();
  co_return std::monostate{};
}

}  // namespace parley::terminal
