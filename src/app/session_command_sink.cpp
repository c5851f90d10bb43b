#include "app/session_command_sink.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "terminal/dialog_scraper.hpp"
#include "terminal/prompt_injector.hpp"
#include "text/unicode.hpp"

namespace parley::app {

namespace asio = boost::asio;
using protocol::SessionDescriptor;
using terminal::RegisteredSession;
using terminal::TmuxClient;

// ---- errors -----------------------------------------------------------------

SessionCommandSink::SinkError SessionCommandSink::SinkError::unknownSession(const std::string& id) {
  return {Kind::unknownSession, "no such session: " + id};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::announceOnly(const std::string& id) {
  return {Kind::announceOnly,
          "session " + id +
              " is announce-only (unsupported Claude Code version, or permissions bypassed)"};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::paneGone(const std::string& pane) {
  return {Kind::paneGone, "pane " + pane + " no longer exists"};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::optionNotFound(std::int64_t number) {
  return {Kind::optionNotFound, "option " + std::to_string(number) + " is not on screen"};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::noDetail(const std::string& ref) {
  return {Kind::noDetail, "no detail for " + ref};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::noDialog() {
  return {Kind::noDialog, "no permission dialog is open"};
}

SessionCommandSink::SinkError SessionCommandSink::SinkError::staleNonce() {
  return {Kind::staleNonce, "that answer was for a different dialog \u2014 dropped"};
}

// ---- helpers ------------------------------------------------------------------

std::string SessionCommandSink::label(const SessionDescriptor& descriptor) {
  if (descriptor.displayName && !descriptor.displayName->empty())
    return *descriptor.displayName;
  std::filesystem::path cwd(descriptor.cwd);
  if (!cwd.has_filename())
    cwd = cwd.parent_path();
  return cwd.filename().string();
}

std::string SessionCommandSink::tmuxKey(protocol::SendKey::Key key) {
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

std::string SessionCommandSink::tmuxKey(protocol::TermInput::Key key) {
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

SessionCommandSink::SessionCommandSink(asio::any_io_executor workers,
                                       std::shared_ptr<terminal::SessionRegistry> registry,
                                       std::function<void(const std::string&)> logLine,
                                       Options options)
    : strand_(asio::make_strand(workers)),
      registry_(std::move(registry)),
      logLine_(std::move(logLine)),
      options_(options),
      tmuxExecutable_(TmuxClient::resolveExecutable()) {}

TmuxClient SessionCommandSink::tmuxFor(const SessionDescriptor& descriptor) const {
  return TmuxClient(tmuxExecutable_, descriptor.socketPath);
}

std::pair<std::int64_t, std::int64_t> SessionCommandSink::paneSize(
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

// ---- the command queue --------------------------------------------------------

template <class T>
void SessionCommandSink::enqueue(std::function<asio::awaitable<T>()> work,
                                 std::function<void(std::exception_ptr, T)> finish) {
  asio::dispatch(strand_, [self = shared_from_this(), work = std::move(work),
                           finish = std::move(finish)]() mutable {
    self->queue_.push_back(
        [work = std::move(work), finish = std::move(finish)]() mutable -> asio::awaitable<void> {
          std::exception_ptr error;
          T value{};
          try {
            value = co_await work();
          } catch (...) {
            error = std::current_exception();
          }
          finish(error, std::move(value));
        });
    if (!self->draining_) {
      self->draining_ = true;
      asio::co_spawn(self->strand_, self->drain(), asio::detached);
    }
  });
}

void SessionCommandSink::enqueueDone(std::function<asio::awaitable<void>()> work, Done done) {
  enqueue<bool>(
      [work = std::move(work)]() -> asio::awaitable<bool> {
        co_await work();
        co_return true;
      },
      [done = std::move(done)](std::exception_ptr error, bool) {
        if (done)
          done(error);
      });
}

asio::awaitable<void> SessionCommandSink::drain() {
  // Keeps the sink alive while commands are pending.
  const auto self = shared_from_this();
  while (!queue_.empty()) {
    Job job = std::move(queue_.front());
    queue_.pop_front();
    co_await job();
  }
  draining_ = false;
}

asio::awaitable<RegisteredSession> SessionCommandSink::lookup(const std::string& id) {
  std::optional<RegisteredSession> found = co_await registry_->session(id, asio::use_awaitable);
  if (!found)
    throw SinkError::unknownSession(id);
  co_return std::move(*found);
}

asio::awaitable<RegisteredSession> SessionCommandSink::injectableLookup(const std::string& id) {
  RegisteredSession found = co_await lookup(id);
  if (!found.mayInject())
    throw SinkError::announceOnly(id);
  co_return found;
}

// ---- operations ----------------------------------------------------------------

void SessionCommandSink::sessions(std::function<void(std::vector<SessionDescriptor>)> done) {
  enqueue<std::vector<SessionDescriptor>>(
      [this]() -> asio::awaitable<std::vector<SessionDescriptor>> {
        const auto all =
            co_await registry_->sweep(std::chrono::system_clock::now(), asio::use_awaitable);
        std::vector<SessionDescriptor> descriptors;
        for (const RegisteredSession& s : all)
          descriptors.push_back(s.descriptor);
        co_return descriptors;
      },
      [done = std::move(done)](std::exception_ptr, std::vector<SessionDescriptor> descriptors) {
        if (done)
          done(std::move(descriptors));
      });
}

void SessionCommandSink::submit(std::string sessionID, std::string text, bool submit,
                                std::optional<double>, Done done) {
  enqueueDone(
      [this, sessionID = std::move(sessionID), text = std::move(text),
       submit]() -> asio::awaitable<void> {
        const RegisteredSession session = co_await injectableLookup(sessionID);
        const SessionDescriptor& d = session.descriptor;
        const TmuxClient tmux = tmuxFor(d);
        if (!tmux.paneExists(d.paneID))
          throw SinkError::paneGone(d.paneID);
        terminal::PromptInjector(tmux, options_.settleTimeout, options_.pollInterval)
            .inject(text, d.paneID, submit);
        if (logLine_)
          logLine_("sent to " + label(d) + ": " + std::string(text::characterPrefix(text, 60)));
      },
      std::move(done));
}

void SessionCommandSink::interrupt(std::string sessionID, Done done) {
  enqueueDone(
      [this, sessionID = std::move(sessionID)]() -> asio::awaitable<void> {
        const RegisteredSession session = co_await injectableLookup(sessionID);
        tmuxFor(session.descriptor).sendEscape(session.descriptor.paneID);
        if (logLine_)
          logLine_("interrupted " + label(session.descriptor));
      },
      std::move(done));
}

void SessionCommandSink::permissionAnswer(std::string, std::string nonce, std::int64_t optionIndex,
                                          Done done) {
  enqueueDone(
      [this, nonce = std::move(nonce), optionIndex]() -> asio::awaitable<void> {
        if (consumedNonces_.count(nonce) != 0)
          throw SinkError::staleNonce();
        const auto all = co_await registry_->all(asio::use_awaitable);
        for (const RegisteredSession& session : all) {
          // Announce-only sessions are never examined: nothing may be typed
          // into them, answers included.
          if (!session.mayInject())
            continue;
          const SessionDescriptor& d = session.descriptor;
          const TmuxClient tmux = tmuxFor(d);
          std::string screen;
          try {
            screen = tmux.capture(d.paneID, std::nullopt, false);
          } catch (const std::exception&) {
            continue;
          }
          const auto dialog = terminal::DialogScraper::scrape(screen);
          if (!dialog || dialog->nonce != nonce)
            continue;
          const protocol::PermissionOption* option = nullptr;
          for (const auto& o : dialog->options) {
            if (o.index == optionIndex)
              option = &o;
          }
          // An answer from the phone never grants more than this one call,
          // and only a single digit can be pressed.
          if (option == nullptr || option->kind == protocol::PermissionOption::Kind::allowAlways ||
              optionIndex < 1 || optionIndex > 9)
            throw SinkError::optionNotFound(optionIndex);
          tmux.sendDigit(static_cast<int>(optionIndex), d.paneID);
          consumedNonces_.insert(nonce);
          if (logLine_)
            logLine_("answered " + label(d) + ": " + option->label);
          co_return;
        }
        throw SinkError::noDialog();
      },
      std::move(done));
}

void SessionCommandSink::questionAnswer(std::string sessionID, std::int64_t optionIndex,
                                        std::string expectedLabel, Done done) {
  enqueueDone(
      [this, sessionID = std::move(sessionID), optionIndex,
       expectedLabel = std::move(expectedLabel)]() -> asio::awaitable<void> {
        const RegisteredSession session = co_await injectableLookup(sessionID);
        const SessionDescriptor& d = session.descriptor;
        const TmuxClient tmux = tmuxFor(d);
        if (!tmux.paneExists(d.paneID))
          throw SinkError::paneGone(d.paneID);
        const std::string screen = tmux.capture(d.paneID, std::nullopt, false);
        // An empty label is in every screen; it confirms nothing.
        if (expectedLabel.empty() || screen.find(expectedLabel) == std::string::npos)
          throw SinkError::noDialog();
        // The phone counts options from 0, Claude Code from 1.
        if (optionIndex < 0 || optionIndex > 8)
          throw SinkError::optionNotFound(optionIndex + 1);
        tmux.sendDigit(static_cast<int>(optionIndex + 1), d.paneID);
        if (logLine_)
          logLine_("answered question in " + label(d) + ": " +
                   std::string(text::characterPrefix(expectedLabel, 40)));
      },
      std::move(done));
}

void SessionCommandSink::sendKey(std::string sessionID, protocol::SendKey::Key key, Done done) {
  enqueueDone(
      [this, sessionID = std::move(sessionID), key]() -> asio::awaitable<void> {
        const RegisteredSession session = co_await injectableLookup(sessionID);
        tmuxFor(session.descriptor).sendKey(tmuxKey(key), session.descriptor.paneID);
      },
      std::move(done));
}

void SessionCommandSink::paneSnapshot(std::string sessionID, std::int64_t lines,
                                      Result<protocol::PaneSnapshot> done) {
  enqueue<protocol::PaneSnapshot>(
      [this, sessionID = std::move(sessionID), lines]() -> asio::awaitable<protocol::PaneSnapshot> {
        const RegisteredSession session = co_await lookup(sessionID);
        const SessionDescriptor& d = session.descriptor;
        // tmux takes an int; a phone's wild value must not wrap into one.
        const int scrollback = static_cast<int>(std::clamp<std::int64_t>(lines, 0, 100000));
        protocol::PaneSnapshot snapshot;
        snapshot.sessionID = d.sessionID;
        snapshot.text = tmuxFor(d).capture(d.paneID, scrollback, false);
        std::tie(snapshot.cols, snapshot.rows) = paneSize(d);
        co_return snapshot;
      },
      std::move(done));
}

void SessionCommandSink::detail(std::string ref, Result<std::string> done) {
  enqueue<std::string>(
      [this, ref = std::move(ref)]() -> asio::awaitable<std::string> {
        const auto it = detailStore_.find(ref);
        if (it == detailStore_.end())
          throw SinkError::noDetail(ref);
        co_return it->second;
      },
      std::move(done));
}

void SessionCommandSink::focus(std::string sessionID, Done done) {
  enqueueDone([this, sessionID = std::move(
                         sessionID)]() -> asio::awaitable<void> { co_await lookup(sessionID); },
              std::move(done));
}

void SessionCommandSink::setPrefs(protocol::SetPrefs, std::function<void()> done) {
  // Every phone receives the same narration; preferences are accepted and
  // have no effect yet.
  enqueueDone([]() -> asio::awaitable<void> { co_return; },
              [done = std::move(done)](std::exception_ptr) {
                if (done)
                  done();
              });
}

void SessionCommandSink::termInput(std::string sessionID, std::optional<std::string> text,
                                   std::optional<protocol::TermInput::Key> key, Done done) {
  enqueueDone(
      [this, sessionID = std::move(sessionID), text = std::move(text),
       key]() -> asio::awaitable<void> {
        const RegisteredSession session = co_await injectableLookup(sessionID);
        const TmuxClient tmux = tmuxFor(session.descriptor);
        if (text && !text->empty())
          tmux.sendLiteral(*text, session.descriptor.paneID);
        if (key)
          tmux.sendKey(tmuxKey(*key), session.descriptor.paneID);
      },
      std::move(done));
}

void SessionCommandSink::termFrame(std::string sessionID, Result<protocol::TermFrame> done) {
  enqueue<protocol::TermFrame>(
      [this, sessionID = std::move(sessionID)]() -> asio::awaitable<protocol::TermFrame> {
        const RegisteredSession session = co_await lookup(sessionID);
        const SessionDescriptor& d = session.descriptor;
        protocol::TermFrame frame;
        frame.sessionID = d.sessionID;
        frame.text = tmuxFor(d).capture(d.paneID, std::nullopt, true);
        std::tie(frame.cols, frame.rows) = paneSize(d);
        co_return frame;
      },
      std::move(done));
}

}  // namespace parley::app
