// Switching a session's permission mode from the phone. Shift+Tab cycles
// manual → accept edits → plan → auto → manual, so reaching plan from manual
// passes through accept edits, and manual from plan passes through auto:
// the switch is made only between turns with nothing on screen to decide,
// and each press is read back from the footer before the next.

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "terminal/mode_footer.hpp"
#include "terminal/prompt_injector.hpp"
#include "terminal/session_driver.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
using protocol::PermissionMode;
using protocol::SessionDescriptor;

namespace {

std::string modeName(PermissionMode mode) {
  switch (mode) {
    case PermissionMode::default_:
      return "manual mode";
    case PermissionMode::acceptEdits:
      return "accept edits";
    case PermissionMode::plan:
      return "plan mode";
    case PermissionMode::auto_:
      return "auto mode";
    default:
      return std::string(protocol::rawValue(mode));
  }
}

// Four presses go once round the cycle.
constexpr int kMostPresses = 4;

}  // namespace

SessionDriver::Result SessionDriver::handle(protocol::SetMode m, RegisteredSession session) {
  const SessionDescriptor& d = session.descriptor;
  const std::string name = modeName(m.mode);
  if (m.mode == PermissionMode::acceptEdits || m.mode == PermissionMode::auto_) {
    if (!options_.phoneMayGrantModes || !options_.phoneMayGrantModes())
      refuse(d, CommandError::notRemotely(
                    name + " lets Claude Code act without asking for the rest of the session: the "
                           "phone may turn it on only where that is allowed at the desk (Parley's "
                           "control panel, Settings \u2192 Phone)"));
  } else if (m.mode != PermissionMode::default_ && m.mode != PermissionMode::plan) {
    refuse(d, CommandError::notRemotely(name + " can be turned on only at the keyboard"));
  }
  const PaneView view = co_await steadyLook(session);
  requireNoDecision(session, view);
  if (d.state == protocol::SessionState::busy)
    refuse(d, CommandError::cannotSwitch(label(d) + " is working: switch its mode when the turn "
                                                    "has ended"));
  const TmuxClient tmux = tmuxFor(d);
  std::optional<PermissionMode> shown = ModeFooter::read(view.screen);
  asio::steady_timer timer(strand_);
  for (int pressed = 0;; ++pressed) {
    if (!shown)
      refuse(d, CommandError::cannotSwitch("the mode line of " + label(d) + " is not on screen"));
    if (*shown == m.mode)
      break;
    if (pressed == kMostPresses)
      refuse(d, CommandError::cannotSwitch("Claude Code in " + label(d) + " does not offer " +
                                           name + " here"));
    const PermissionMode before = *shown;
    tmux.sendKey("BTab", d.paneID);
    const auto deadline = std::chrono::steady_clock::now() + options_.settleTimeout;
    do {
      timer.expires_after(options_.pollInterval);
      co_await timer.async_wait(asio::use_awaitable);
      const std::string screen = tmux.capture(d.paneID, std::nullopt, true);
      // Whatever opened meanwhile is the person's to answer, not ours to
      // press through.
      if (showsDecision(screen, PromptInjector::inputBox(screen).has_value()))
        refuse(d, CommandError::awaitingAnswer(label(d)));
      shown = ModeFooter::read(screen);
    } while ((!shown || *shown == before) && std::chrono::steady_clock::now() < deadline);
    if (shown && *shown == before)
      refuse(d, CommandError::cannotSwitch("the mode of " + label(d) +
                                           " did not change when Shift+Tab was pressed"));
  }
  log("switched " + label(d) + " to " + name + " from the phone");
  if (options_.listChanged)
    options_.listChanged();
  co_return std::monostate{};
}

}  // namespace parley::terminal
