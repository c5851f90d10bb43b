#include "terminal/session_driver.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "terminal/dialog_scraper.hpp"
#include "terminal/input_policy.hpp"
#include "terminal/prompt_injector.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
using protocol::CommandResult;
using protocol::SessionDescriptor;
using Needs = SessionDriver::Needs;

namespace {

// What each command's target must be. A command not listed needs nothing.
template <class Command>
constexpr Needs kNeeds = Needs::nothing;
template <>
constexpr Needs kNeeds<protocol::SubmitPrompt> = Needs::livePane;
template <>
constexpr Needs kNeeds<protocol::Interrupt> = Needs::injectable;
template <>
constexpr Needs kNeeds<protocol::QuestionAnswer> = Needs::livePane;
template <>
constexpr Needs kNeeds<protocol::SendKey> = Needs::injectable;
template <>
constexpr Needs kNeeds<protocol::GetPane> = Needs::session;
template <>
constexpr Needs kNeeds<protocol::Focus> = Needs::session;
template <>
constexpr Needs kNeeds<protocol::TermInput> = Needs::injectable;
template <>
constexpr Needs kNeeds<protocol::TermFrameRequest> = Needs::session;
template <>
constexpr Needs kNeeds<protocol::SpokenPrompt> = Needs::livePane;
template <>
constexpr Needs kNeeds<protocol::SpokenAnswer> = Needs::livePane;
template <>
constexpr Needs kNeeds<protocol::GetChanges> = Needs::session;
template <>
constexpr Needs kNeeds<protocol::GetFileDiff> = Needs::session;
template <>
constexpr Needs kNeeds<protocol::StopSession> = Needs::livePane;
template <>
constexpr Needs kNeeds<protocol::SetMode> = Needs::livePane;

// Commands that only read files (a repository, Claude Code's records): they
// run beside the queue.
template <class Command>
constexpr bool kReadsRepository = std::is_same_v<Command, protocol::GetChanges> ||
                                  std::is_same_v<Command, protocol::GetFileDiff> ||
                                  std::is_same_v<Command, protocol::ListProjects> ||
                                  std::is_same_v<Command, protocol::ListHistory>;

}  // namespace

// ---- helpers ------------------------------------------------------------------

std::string SessionDriver::label(const SessionDescriptor& descriptor) {
  if (descriptor.displayName && !descriptor.displayName->empty())
    return *descriptor.displayName;
  std::filesystem::path cwd(descriptor.cwd);
  if (!cwd.has_filename())
    cwd = cwd.parent_path();
  return cwd.filename().string();
}

std::string SessionDriver::tmuxKey(protocol::SendKey::Key key) {
  using K = protocol::SendKey::Key;
  switch (key) {
    case K::escape:
      return "Escape";
    case K::btab:
      return "BTab";
    case K::ctrlO:
      return "C-o";
    case K::up:
      return "Up";
    case K::down:
      break;
  }
  return "Down";
}

std::string SessionDriver::tmuxKey(protocol::TermInput::Key key) {
  using K = protocol::TermInput::Key;
  switch (key) {
    case K::enter:
      return "Enter";
    case K::escape:
      return "Escape";
    case K::tab:
      return "Tab";
    case K::backspace:
      return "BSpace";
    case K::up:
      return "Up";
    case K::down:
      return "Down";
    case K::left:
      return "Left";
    case K::right:
      return "Right";
    case K::ctrlC:
      return "C-c";
    case K::ctrlD:
      return "C-d";
    case K::ctrlZ:
      return "C-z";
    case K::ctrlL:
      return "C-l";
    case K::ctrlR:
      return "C-r";
    case K::ctrlU:
      break;
  }
  return "C-u";
}

SessionDriver::SessionDriver(asio::any_io_executor executor,
                             std::shared_ptr<SessionRegistry> registry,
                             std::function<void(const std::string&)> logLine, Options options)
    : strand_(asio::make_strand(executor)),
      reader_(asio::make_strand(options.reader ? options.reader : executor)),
      registry_(std::move(registry)),
      logLine_(std::move(logLine)),
      options_(options),
      tmuxExecutable_(TmuxClient::resolveExecutable()) {}

TmuxClient SessionDriver::tmuxFor(const SessionDescriptor& descriptor) const {
  return TmuxClient(tmuxExecutable_, descriptor.socketPath);
}

std::pair<std::int64_t, std::int64_t> SessionDriver::paneSize(
    const SessionDescriptor& descriptor) const {
  try {
    for (const TmuxClient::PaneInfo& pane : tmuxFor(descriptor).listPanes()) {
      if (pane.paneID == descriptor.paneID)
        return {pane.width, pane.height};
    }
  } catch (const std::exception&) {
    // An unlistable server reads as an unlisted pane.
  }
  return {0, 0};
}

void SessionDriver::log(const std::string& line) const {
  if (logLine_)
    logLine_(line);
}

// Any list of numbered choices over the box decides something, whether or
// not it is a dialog the scraper knows (a trust or MCP dialog, a menu).
bool SessionDriver::showsDecision(const std::string& screen, bool inputBox) {
  return DialogScraper::scrape(screen).has_value() ||
         (!inputBox && DialogScraper::showsSelectedChoice(screen));
}

// ---- the lock --------------------------------------------------------------------

SessionDriver::PaneView SessionDriver::look(const RegisteredSession& session) const {
  const SessionDescriptor& d = session.descriptor;
  PaneView view;
  view.screen = tmuxFor(d).capture(d.paneID, std::nullopt, true);
  view.inputBox = PromptInjector::inputBox(view.screen);
  view.decision = showsDecision(view.screen, view.inputBox.has_value());
  return view;
}

asio::awaitable<SessionDriver::PaneView> SessionDriver::steadyLook(RegisteredSession session) {
  // A repaint caught half done must not open the lock.
  const auto deadline = std::chrono::steady_clock::now() + options_.repaintGrace;
  PaneView view = look(session);
  while (!view.inputBox && !view.decision && std::chrono::steady_clock::now() < deadline) {
    asio::steady_timer pause(strand_, options_.pollInterval);
    co_await pause.async_wait(asio::use_awaitable);
    view = look(session);
  }
  co_return view;
}

void SessionDriver::refuse(const SessionDescriptor& d, const CommandError& error) const {
  log("refused for " + label(d) + ": " + error.what());
  throw error;
}

void SessionDriver::refuseIn(const std::string& name, const CommandError& error) const {
  log("refused for " + name + ": " + error.what());
  throw error;
}

void SessionDriver::requireNoDecision(const RegisteredSession& session,
                                      const PaneView& view) const {
  // A published request counts before its dialog is drawn, too, and until
  // an answer was pressed for it.
  const auto pending = options_.permissions
                           ? options_.permissions->pendingIn(session.descriptor.sessionID)
                           : std::nullopt;
  if (view.decision || (pending && !pending->choice))
    refuse(session.descriptor, CommandError::awaitingAnswer(label(session.descriptor)));
}

void SessionDriver::requireSubmittable(const RegisteredSession& session,
                                       std::string_view text) const {
  if (auto why = InputPolicy::refusal(text))
    refuse(session.descriptor, CommandError::notRemotely(*why));
}

void SessionDriver::pressEnter(const RegisteredSession& session,
                               const std::string& expected) const {
  // Enter submits whatever the box holds, however it got there (typed from
  // here, recalled from history, left by someone at the desk): it is read
  // now, and so is what it will hold once the text just typed shows.
  const PaneView view = look(session);
  requireNoDecision(session, view);
  if (!view.inputBox)
    refuse(session.descriptor, CommandError::noInputBox(label(session.descriptor)));
  requireSubmittable(session, *view.inputBox);
  requireSubmittable(session, expected);
  tmuxFor(session.descriptor).sendKey("Enter", session.descriptor.paneID);
}

// ---- the queue and the dispatcher ------------------------------------------------

void SessionDriver::run(protocol::SessionCommand command, Done done) {
  const bool reads = std::visit(
      [](const auto& c) { return kReadsRepository<std::decay_t<decltype(c)>>; }, command);
  if (reads) {
    asio::co_spawn(reader_, std::visit([this](auto& c) { return execute(std::move(c)); }, command),
                   [self = shared_from_this(), done = std::move(done)](std::exception_ptr error,
                                                                       CommandResult result) {
                     if (done)
                       done(error, std::move(result));
                   });
    return;
  }
  asio::dispatch(strand_, [self = shared_from_this(), command = std::move(command),
                           done = std::move(done)]() mutable {
    self->queue_.push_back({std::move(command), std::move(done)});
    if (!self->draining_) {
      self->draining_ = true;
      asio::co_spawn(self->strand_, self->drain(), asio::detached);
    }
  });
}

asio::awaitable<void> SessionDriver::drain() {
  // Keeps the driver alive while commands are pending.
  const auto self = shared_from_this();
  while (!queue_.empty()) {
    Pending next = std::move(queue_.front());
    queue_.pop_front();
    std::exception_ptr error;
    CommandResult result;
    try {
      result = co_await std::visit([this](auto& command) { return execute(std::move(command)); },
                                   next.command);
    } catch (...) {
      error = std::current_exception();
    }
    if (next.done)
      next.done(error, std::move(result));
  }
  draining_ = false;
}

template <class Command>
SessionDriver::Result SessionDriver::execute(Command command) {
  if constexpr (kNeeds<Command> == Needs::nothing) {
    co_return co_await handle(std::move(command));
  } else {
    RegisteredSession target = co_await resolve(command.sessionID, kNeeds<Command>);
    co_return co_await handle(std::move(command), std::move(target));
  }
}

asio::awaitable<RegisteredSession> SessionDriver::resolve(std::string id, Needs needs) {
  std::optional<RegisteredSession> found = co_await registry_->session(id, asio::use_awaitable);
  // Known from its hooks alone, a session is announce-only until a sweep
  // reads its version: one just started (from the phone, say) is looked at
  // now rather than refused until the next sweep.
  if (found && needs >= Needs::injectable && !found->mayInject() &&
      !found->descriptor.claudeVersion) {
    co_await registry_->sweep(std::chrono::system_clock::now(), asio::use_awaitable);
    found = co_await registry_->session(id, asio::use_awaitable);
  }
  if (!found)
    throw CommandError::unknownSession(id);
  if (needs >= Needs::injectable && !found->mayInject())
    throw CommandError::announceOnly(found->descriptor);
  const SessionDescriptor& d = found->descriptor;
  if (needs >= Needs::livePane && !tmuxFor(d).paneExists(d.paneID))
    throw CommandError::paneGone(d.paneID);
  co_return std::move(*found);
}

}  // namespace parley::terminal
