#include "terminal/session_driver.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/remote_approval.hpp"
#include "repo/changes_reader.hpp"
#include "terminal/dialog_scraper.hpp"
#include "terminal/input_policy.hpp"
#include "terminal/interrupt_watcher.hpp"
#include "terminal/prompt_injector.hpp"
#include "text/unicode.hpp"

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

// ---- the handlers ------------------------------------------------------------------

SessionDriver::Result SessionDriver::inject(std::string text, bool submit, bool fromPhone,
                                            RegisteredSession session,
                                            std::vector<std::string> images) {
  const SessionDescriptor& d = session.descriptor;
  const PaneView view = look(session);
  requireNoDecision(session, view);
  // Checked submitted or not: pasting a leading "!" already switches the
  // box to shell mode.
  requireSubmittable(session, PromptInjector::pasteForm(text));
  if (!view.inputBox)
    refuse(d, CommandError::noInputBox(label(d)));
  const PromptInjector injector(tmuxFor(d), options_.settleTimeout, options_.pollInterval);
  // Noted before Enter: the hook of the turn it starts may overtake us.
  if (submit && fromPhone && options_.injected)
    options_.injected->note(d.sessionID, text);
  co_await injector.injectAsync(text, d.paneID, submit, images);
  log("sent to " + label(d) + ": " +
      (images.empty() ? "" : std::to_string(images.size()) + " image(s) and ") +
      std::string(text::characterPrefix(text, 60)));
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::SubmitPrompt m, RegisteredSession session) {
  std::vector<std::string> images;
  if (m.images) {
    if (m.images->size() > kMaxImages)
      throw CommandError::noImage("at most " + std::to_string(kMaxImages) +
                                  " images go with one prompt");
    for (const std::string& id : *m.images) {
      const auto path = options_.imagePath ? options_.imagePath(id) : std::nullopt;
      if (!path)
        throw CommandError::noImage(
            "an image of this prompt is no longer on the desktop: "
            "attach it again");
      images.push_back(path->string());
    }
  }
  return inject(std::move(m.text), m.submit, true, std::move(session), std::move(images));
}

SessionDriver::Result SessionDriver::handle(protocol::SpokenPrompt m, RegisteredSession session) {
  return inject(std::move(m.text), true, false, std::move(session));
}

SessionDriver::Result SessionDriver::handle(protocol::Interrupt, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  // Escape on a dialog denies it: an interrupt is no way to answer.
  requireNoDecision(session, look(session));
  const TmuxClient tmux = tmuxFor(d);
  // What the screen showed before, so only a new "Interrupted" counts.
  std::optional<std::size_t> before;
  if (options_.permissions) {
    try {
      before =
          InterruptWatcher::countIn(tmux.capture(d.paneID, InterruptWatcher::kHistoryLines, false));
    } catch (const std::exception&) {
    }
  }
  tmux.sendEscape(d.paneID);
  if (before)
    options_.permissions->watchForInterrupt(d, *before);
  log("interrupted " + label(session.descriptor));
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::PermissionAnswer m) {
  if (consumedNonces_.count(m.nonce) != 0)
    throw CommandError::staleNonce();
  // Only a published request can be answered, in the session it was asked.
  const auto pending =
      options_.permissions ? options_.permissions->pendingFor(m.nonce) : std::nullopt;
  if (!pending)
    throw CommandError::noDialog();
  const auto session = co_await registry_->session(pending->sessionID, asio::use_awaitable);
  // Announce-only sessions are never examined: nothing may be typed into
  // them, answers included.
  if (!session || !session->mayInject())
    throw CommandError::noDialog();
  const SessionDescriptor& d = session->descriptor;
  const TmuxClient tmux = tmuxFor(d);
  const auto dialog = DialogScraper::scrape(tmux.capture(d.paneID, std::nullopt, false));
  if (!dialog)
    throw CommandError::noDialog();
  if (dialog->fingerprint != pending->fingerprint)
    throw CommandError::staleNonce();
  const protocol::PermissionOption* option = nullptr;
  for (const auto& o : dialog->options) {
    if (o.index == m.optionIndex)
      option = &o;
  }
  // An answer from the phone never grants more than this one call, and
  // only a single digit can be pressed.
  if (option == nullptr || option->kind == protocol::PermissionOption::Kind::allowAlways ||
      m.optionIndex < 1 || m.optionIndex > 9)
    throw CommandError::optionNotFound(m.optionIndex);
  // A destructive call is only ever denied from here.
  if (protocol::remoteRefusal(pending->tier, option->kind))
    refuse(d, CommandError::keyboardOnly());
  press(tmux, d, m.nonce, *option, protocol::PermissionResolved::By::phone);
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::SpokenAnswer m, RegisteredSession session) {
  // Only a published request is answered: its tier decides what a spoken
  // answer may choose.
  const auto pending =
      options_.permissions ? options_.permissions->pendingIn(m.sessionID) : std::nullopt;
  if (!pending || consumedNonces_.count(pending->nonce) != 0)
    throw CommandError::noDialog();
  const SessionDescriptor& d = session.descriptor;
  const TmuxClient tmux = tmuxFor(d);
  const auto dialog = DialogScraper::scrape(tmux.capture(d.paneID, std::nullopt, false));
  if (!dialog || dialog->fingerprint != pending->fingerprint)
    throw CommandError::noDialog();
  const auto wanted = m.approve ? protocol::PermissionOption::Kind::allowOnce
                                : protocol::PermissionOption::Kind::deny;
  const auto option = std::find_if(dialog->options.begin(), dialog->options.end(),
                                   [&](const auto& o) { return o.kind == wanted; });
  if (option == dialog->options.end() || option->index < 1 || option->index > 9)
    throw CommandError::noDialog();
  if (protocol::remoteRefusal(pending->tier, option->kind))
    refuse(d, CommandError::keyboardOnly());
  press(tmux, d, pending->nonce, *option, protocol::PermissionResolved::By::desk);
  co_return std::monostate{};
}

void SessionDriver::press(const TmuxClient& tmux, const SessionDescriptor& d,
                          const std::string& nonce, const protocol::PermissionOption& option,
                          protocol::PermissionResolved::By by) {
  tmux.sendDigit(static_cast<int>(option.index), d.paneID);
  // A dialog is answered once: a second answer, from anywhere, is stale.
  consumedNonces_.insert(nonce);
  if (options_.permissions)
    options_.permissions->answered(nonce, option.index, by);
  log("answered " + label(d) + (by == protocol::PermissionResolved::By::desk ? " by voice" : "") +
      ": " + option.label);
}

SessionDriver::Result SessionDriver::handle(protocol::QuestionAnswer m, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  // A digit pressed for a question that is not the one on screen would
  // answer whatever is there instead: a permission dialog, say.
  if (!options_.questions || !options_.questions->isOpen(d.sessionID, m.requestID))
    refuse(d, CommandError::noQuestion(label(d)));
  const PaneView view = look(session);
  if (view.inputBox || !view.decision)
    refuse(d, CommandError::noQuestion(label(d)));
  if (DialogScraper::scrape(view.screen) ||
      (options_.permissions && options_.permissions->hasPending(d.sessionID)))
    refuse(d, CommandError::awaitingAnswer(label(d)));
  // The phone counts options from 0, Claude Code from 1.
  const std::int64_t number = m.optionIndex + 1;
  if (number < 1 || number > 9)
    throw CommandError::optionNotFound(number);
  // A long label wraps: the screen shows its start.
  const auto shown = DialogScraper::choiceLabel(view.screen, number);
  const std::string_view expected = text::trimmed(m.expectedLabel);
  const std::string_view seen = shown ? text::trimmed(*shown) : std::string_view{};
  if (seen.empty() || !expected.starts_with(seen))
    throw CommandError::optionNotFound(number);
  tmuxFor(d).sendDigit(static_cast<int>(number), d.paneID);
  log("answered question in " + label(d) + ": " +
      std::string(text::characterPrefix(m.expectedLabel, 40)));
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::SendKey m, RegisteredSession session) {
  if (m.key == protocol::SendKey::Key::btab)
    refuse(session.descriptor,
           CommandError::notRemotely("Shift+Tab changes Claude Code's permission mode: the "
                                     "phone has a mode switch for that"));
  requireNoDecision(session, look(session));
  tmuxFor(session.descriptor).sendKey(tmuxKey(m.key), session.descriptor.paneID);
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::GetPane m, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  // tmux takes an int; a phone's wild value must not wrap into one.
  const int scrollback = static_cast<int>(std::clamp<std::int64_t>(m.lines, 0, 100000));
  protocol::PaneSnapshot snapshot;
  snapshot.sessionID = d.sessionID;
  snapshot.text = tmuxFor(d).capture(d.paneID, scrollback, false);
  std::tie(snapshot.cols, snapshot.rows) = paneSize(d);
  co_return snapshot;
}

SessionDriver::Result SessionDriver::handle(protocol::GetDetail m) {
  auto text = options_.detail ? options_.detail(m.ref) : std::nullopt;
  if (!text)
    throw CommandError::noDetail(m.ref);
  co_return protocol::DetailText{m.ref, std::move(*text)};
}

SessionDriver::Result SessionDriver::handle(protocol::Focus, RegisteredSession) {
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::SetPrefs) {
  // Every phone receives the same narration; preferences are accepted and
  // have no effect yet.
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::TermInput m, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  const PaneView view = look(session);
  requireNoDecision(session, view);
  const TmuxClient tmux = tmuxFor(d);
  // What the box will hold once the text shows, for the Enter that follows.
  std::string expected = view.inputBox.value_or("");
  if (m.text && !m.text->empty()) {
    // Text goes into the input box only: elsewhere a letter or a digit may
    // choose something, or reach a shell.
    if (!view.inputBox)
      refuse(d, CommandError::noInputBox(label(d)));
    // Keys travel by name; a control byte inside the text would act as one.
    const std::string literal = PromptInjector::literalForm(*m.text);
    if (auto why = InputPolicy::typingRefusal(*view.inputBox, literal))
      refuse(d, CommandError::notRemotely(*why));
    tmux.sendLiteral(literal, d.paneID);
    expected += literal;
  }
  if (m.key == protocol::TermInput::Key::enter)
    pressEnter(session, expected);
  else if (m.key)
    tmux.sendKey(tmuxKey(*m.key), d.paneID);
  co_return std::monostate{};
}

SessionDriver::Result SessionDriver::handle(protocol::TermFrameRequest, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  protocol::TermFrame frame;
  frame.sessionID = d.sessionID;
  frame.text = tmuxFor(d).capture(d.paneID, std::nullopt, true);
  std::tie(frame.cols, frame.rows) = paneSize(d);
  co_return frame;
}

// The folder comes from the registry's record of the session, never from
// the phone; the phone's path is only looked up among the listed changes.
SessionDriver::Result SessionDriver::handle(protocol::GetChanges, RegisteredSession session) {
  protocol::Changes changes = repo::readChanges(session.descriptor.cwd);
  changes.sessionID = session.descriptor.sessionID;
  co_return changes;
}

SessionDriver::Result SessionDriver::handle(protocol::GetFileDiff m, RegisteredSession session) {
  protocol::FileDiff diff = repo::readFileDiff(session.descriptor.cwd, m.path, m.area);
  diff.sessionID = session.descriptor.sessionID;
  co_return diff;
}

SessionDriver::Result SessionDriver::handle(protocol::ListSessions) {
  const auto all = co_await registry_->sweep(std::chrono::system_clock::now(), asio::use_awaitable);
  std::vector<SessionDescriptor> descriptors;
  descriptors.reserve(all.size());
  for (const RegisteredSession& s : all)
    descriptors.push_back(s.descriptor);
  co_return descriptors;
}

}  // namespace parley::terminal
