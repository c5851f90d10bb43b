// What each phone or voice command does to its session, once the driver
// has queued it, found its session and checked the lock (session_driver.cpp).

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/remote_approval.hpp"
#include "repo/changes_reader.hpp"
#include "terminal/dialog_scraper.hpp"
#include "terminal/input_policy.hpp"
#include "terminal/interrupt_watcher.hpp"
#include "terminal/prompt_injector.hpp"
#include "terminal/session_driver.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
using protocol::CommandResult;
using protocol::SessionDescriptor;

// ---- the handlers ------------------------------------------------------------------

SessionDriver::Result SessionDriver::inject(std::string text, bool submit, bool fromPhone,
                                            RegisteredSession session,
                                            std::vector<std::string> images) {
  const SessionDescriptor& d = session.descriptor;
  const PaneView view = co_await steadyLook(session);
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
  requireNoDecision(session, co_await steadyLook(session));
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
  requireNoDecision(session, co_await steadyLook(session));
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
  const PaneView view = co_await steadyLook(session);
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
