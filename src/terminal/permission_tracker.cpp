#include "terminal/permission_tracker.hpp"

#include <boost/asio/post.hpp>
#include <cstdio>
#include <random>

namespace parley::terminal {

namespace asio = boost::asio;
using By = protocol::PermissionResolved::By;
using Event = protocol::HookPayload::Event;
using Clock = std::chrono::steady_clock;

namespace {

// Unpredictable, so a nonce seen once says nothing about the next.
std::string mintNonce() {
  std::random_device device;
  const std::uint64_t value = (std::uint64_t{device()} << 32) | device();
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace

PermissionTracker::PermissionTracker(asio::any_io_executor executor, Outlets outlets,
                                     Options options)
    : strand_(asio::make_strand(executor)),
      out_(std::move(outlets)),
      options_(options),
      tmuxExecutable_(TmuxClient::resolveExecutable()),
      watchTimer_(strand_) {}

std::size_t PermissionTracker::countInterrupted(std::string_view screen) {
  std::size_t count = 0;
  for (std::size_t at = screen.find(kInterruptedText); at != std::string_view::npos;
       at = screen.find(kInterruptedText, at + 1))
    ++count;
  return count;
}

std::optional<std::string> PermissionTracker::capture(
    const protocol::SessionDescriptor& session) const {
  try {
    return TmuxClient(tmuxExecutable_, session.socketPath)
        .capture(session.paneID, std::nullopt, false);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::size_t PermissionTracker::interruptionsIn(const protocol::SessionDescriptor& session) const {
  try {
    return countInterrupted(TmuxClient(tmuxExecutable_, session.socketPath)
                                .capture(session.paneID, kHistoryLines, false));
  } catch (const std::exception&) {
    return 0;
  }
}

void PermissionTracker::flush(std::vector<protocol::ServerMessage> messages) {
  if (!out_.publish)
    return;
  for (auto& m : messages)
    out_.publish(std::move(m));
}

// ---- a dialog is asked ----------------------------------------------------------

void PermissionTracker::requested(protocol::SessionDescriptor session,
                                  std::optional<std::string> toolName,
                                  std::optional<protocol::JSONValue> toolInput) {
  asio::post(strand_, [self = shared_from_this(), session = std::move(session),
                       toolName = std::move(toolName), toolInput = std::move(toolInput)]() mutable {
    if (self->stopped_)
      return;
    const std::string id = session.sessionID;
    const bool announced = toolName.has_value();
    if (!announced) {
      // Claude Code follows its PermissionRequest with this notification;
      // the request is already known or on its way.
      const std::lock_guard lock(self->mutex_);
      if (self->pending_.count(id) != 0 || self->attempts_.count(id) != 0)
        return;
    }
    Attempt& attempt = self->attempts_[id];
    ++attempt.generation;
    attempt.announcedTool = announced;
    auto wanted = std::make_shared<Sighting>(
        Sighting{std::move(session), std::move(toolName), std::move(toolInput), {}});
    self->scrapeUntilShown(std::move(wanted), attempt.generation,
                           Clock::now() + self->options_.scrapeTimeout);
  });
}

void PermissionTracker::scrapeUntilShown(std::shared_ptr<Sighting> wanted, std::uint64_t generation,
                                         Clock::time_point deadline) {
  const std::string id = wanted->session.sessionID;
  const auto attempt = attempts_.find(id);
  if (attempt == attempts_.end() || attempt->second.generation != generation)
    return;  // a later request took over
  if (const auto screen = capture(wanted->session)) {
    if (auto dialog = DialogScraper::scrape(*screen)) {
      bool alreadyShown = false;
      {
        const std::lock_guard lock(mutex_);
        const auto p = pending_.find(id);
        if (p != pending_.end() && p->second.fingerprint == dialog->fingerprint) {
          // Claude Code asks once per dialog it draws, so the hook of the
          // very call the pending request was for means it was asked again.
          const bool askedAgain = wanted->toolName && p->second.toolName == wanted->toolName &&
                                  p->second.toolInput == wanted->toolInput;
          // Otherwise the dialog published is still up: unless it was just
          // answered (and the next one is not drawn yet) there is nothing new.
          if (!askedAgain && !p->second.choice) {
            attempts_.erase(attempt);
            return;
          }
          alreadyShown = !askedAgain;
        }
      }
      if (!alreadyShown) {
        attempts_.erase(attempt);
        wanted->dialog = std::move(*dialog);
        const std::size_t interruptions = interruptionsIn(wanted->session);
        show(std::move(*wanted), interruptions);
        return;
      }
    }
  }
  if (Clock::now() >= deadline) {
    attempts_.erase(attempt);
    if (out_.log)
      out_.log("no permission dialog showed in pane " + wanted->session.paneID + " within " +
               std::to_string(options_.scrapeTimeout.count()) + " ms");
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(strand_, options_.scrapeInterval);
  timer->async_wait([self = shared_from_this(), timer, wanted = std::move(wanted), generation,
                     deadline](const boost::system::error_code& ec) mutable {
    if (!ec)
      self->scrapeUntilShown(std::move(wanted), generation, deadline);
  });
}

void PermissionTracker::show(Sighting sighting, std::size_t interruptedOnScreen) {
  protocol::PermissionRequest request = out_.describe(sighting);
  request.nonce = mintNonce();
  request.options = sighting.dialog.options;
  std::vector<protocol::ServerMessage> messages;
  {
    const std::lock_guard lock(mutex_);
    const std::string& id = sighting.session.sessionID;
    // A new dialog replaces the one before.
    resolveLocked(id, By::expired, messages);
    pending_[id] = Pending{.sessionID = id,
                           .requestID = request.requestID,
                           .nonce = request.nonce,
                           .fingerprint = sighting.dialog.fingerprint,
                           .toolName = sighting.toolName,
                           .toolInput = sighting.toolInput,
                           .tier = request.tier};
    interruptedBefore_[id] = interruptedOnScreen;
    panes_[id] = sighting.session;
  }
  messages.emplace_back(std::move(request));
  flush(std::move(messages));
  startWatching();
}

void PermissionTracker::sweep(std::vector<RegisteredSession> sessions) {
  asio::post(strand_, [self = shared_from_this(), sessions = std::move(sessions)] {
    for (const RegisteredSession& s : sessions) {
      if (!s.mayInject() || self->attempts_.count(s.id()) != 0 || self->hasPending(s.id()))
        continue;
      const auto screen = self->capture(s.descriptor);
      if (!screen)
        continue;
      if (auto dialog = DialogScraper::scrape(*screen)) {
        const std::size_t interruptions = self->interruptionsIn(s.descriptor);
        self->show(Sighting{s.descriptor, std::nullopt, std::nullopt, std::move(*dialog)},
                   interruptions);
      }
    }
  });
}

// ---- a dialog closes ----------------------------------------------------------------

void PermissionTracker::resolveLocked(const std::string& sessionID, By how,
                                      std::vector<protocol::ServerMessage>& out) {
  const auto p = pending_.find(sessionID);
  if (p == pending_.end())
    return;
  protocol::PermissionResolved resolved{.requestID = p->second.requestID};
  // Whatever else happened after it, a pressed answer closed the dialog.
  if (p->second.choice) {
    resolved.by = p->second.choiceBy;
    resolved.chosenIndex = p->second.choice;
  } else {
    resolved.by = how;
  }
  out.emplace_back(std::move(resolved));
  pending_.erase(p);
  panes_.erase(sessionID);
  interruptedBefore_.erase(sessionID);
  goneOnce_.erase(sessionID);
}

void PermissionTracker::hookSeen(const protocol::HookPayload& payload) {
  if (!payload.sessionID)
    return;
  const Event e = payload.hookEventName;
  if (e != Event::postToolUse && e != Event::postToolUseFailure && e != Event::stop &&
      e != Event::userPromptSubmit && e != Event::sessionEnd)
    return;
  if (!hasPending(*payload.sessionID))
    return;
  asio::post(strand_, [self = shared_from_this(), id = *payload.sessionID, e] {
    std::optional<protocol::SessionDescriptor> pane;
    std::string fingerprint;
    {
      const std::lock_guard lock(self->mutex_);
      const auto p = self->pending_.find(id);
      if (p == self->pending_.end())
        return;
      fingerprint = p->second.fingerprint;
      pane = self->panes_[id];
    }
    // A tool running beside the one that asked finishes while the dialog is
    // still up; only a dialog gone from the screen is closed.
    std::optional<DialogScraper::Dialog> shown;
    if (e != Event::sessionEnd) {
      if (const auto screen = self->capture(*pane))
        shown = DialogScraper::scrape(*screen);
    }
    if (shown && shown->fingerprint == fingerprint)
      return;
    std::vector<protocol::ServerMessage> messages;
    {
      const std::lock_guard lock(self->mutex_);
      self->resolveLocked(id, e == Event::sessionEnd ? By::expired : By::desk, messages);
    }
    self->flush(std::move(messages));
  });
}

void PermissionTracker::stop() {
  asio::post(strand_, [self = shared_from_this()] {
    self->stopped_ = true;
    self->attempts_.clear();
    self->watchTimer_.cancel();
  });
}

void PermissionTracker::startWatching() {
  if (watching_ || stopped_)
    return;
  watching_ = true;
  watchTimer_.expires_after(options_.watchInterval);
  watchTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    self->watching_ = false;
    if (!ec)
      self->watchTick();
  });
}

void PermissionTracker::watchTick() {
  struct Watched {
    protocol::SessionDescriptor pane;
    std::string fingerprint;
    std::size_t interruptedBefore = 0;
  };
  std::map<std::string, Watched> watched;
  {
    const std::lock_guard lock(mutex_);
    for (const auto& [id, p] : pending_)
      watched.emplace(id, Watched{panes_[id], p.fingerprint, interruptedBefore_[id]});
  }
  std::vector<protocol::ServerMessage> messages;
  for (const auto& [id, w] : watched) {
    const auto screen = capture(w.pane);
    const auto shown = screen ? DialogScraper::scrape(*screen) : std::nullopt;
    if (shown && shown->fingerprint == w.fingerprint) {
      const std::lock_guard lock(mutex_);
      goneOnce_.erase(id);
      continue;
    }
    {
      // A capture may catch a redraw half done: only a dialog missing from
      // two captures in a row has closed.
      const std::lock_guard lock(mutex_);
      if (screen && goneOnce_.insert(id).second)
        continue;
    }
    // Escape on the dialog stops the turn; the pane says so.
    const bool interrupted = screen && interruptionsIn(w.pane) > w.interruptedBefore;
    // Gone with its pane, stopped, or replaced by another dialog: expired;
    // else it was answered at the keyboard.
    const By how = !screen || interrupted || shown ? By::expired : By::desk;
    {
      const std::lock_guard lock(mutex_);
      resolveLocked(id, how, messages);
    }
    if (interrupted)
      messages.emplace_back(
          protocol::Interrupted{.sessionID = id, .detectedVia = "screen: dialog closed by Escape"});
  }
  flush(std::move(messages));
  const std::lock_guard lock(mutex_);
  if (!pending_.empty())
    asio::post(strand_, [self = shared_from_this()] { self->startWatching(); });
}

void PermissionTracker::watchForInterrupt(protocol::SessionDescriptor session, std::size_t before) {
  asio::post(strand_, [self = shared_from_this(), session = std::move(session), before] {
    self->pollForInterrupt(std::make_shared<protocol::SessionDescriptor>(session), before,
                           Clock::now() + self->options_.scrapeTimeout);
  });
}

void PermissionTracker::pollForInterrupt(std::shared_ptr<protocol::SessionDescriptor> session,
                                         std::size_t before, Clock::time_point deadline) {
  if (interruptionsIn(*session) > before) {
    std::vector<protocol::ServerMessage> messages;
    {
      const std::lock_guard lock(mutex_);
      resolveLocked(session->sessionID, By::expired, messages);
    }
    messages.emplace_back(protocol::Interrupted{
        .sessionID = session->sessionID, .detectedVia = "screen: after Escape from the phone"});
    flush(std::move(messages));
    return;
  }
  if (Clock::now() >= deadline || stopped_)
    return;
  auto timer = std::make_shared<asio::steady_timer>(strand_, options_.scrapeInterval);
  timer->async_wait([self = shared_from_this(), timer, session = std::move(session), before,
                     deadline](const boost::system::error_code& ec) mutable {
    if (!ec)
      self->pollForInterrupt(std::move(session), before, deadline);
  });
}

// ---- asked by the driver ------------------------------------------------------------

std::optional<PermissionTracker::Pending> PermissionTracker::pendingFor(
    const std::string& nonce) const {
  const std::lock_guard lock(mutex_);
  for (const auto& [id, p] : pending_)
    if (p.nonce == nonce)
      return p;
  return std::nullopt;
}

std::optional<PermissionTracker::Pending> PermissionTracker::pendingIn(
    const std::string& sessionID) const {
  const std::lock_guard lock(mutex_);
  const auto it = pending_.find(sessionID);
  return it == pending_.end() ? std::nullopt : std::optional(it->second);
}

bool PermissionTracker::hasPending(const std::string& sessionID) const {
  return pendingIn(sessionID).has_value();
}

void PermissionTracker::answered(const std::string& nonce, std::int64_t chosenIndex, By by) {
  const std::lock_guard lock(mutex_);
  for (auto& [id, p] : pending_)
    if (p.nonce == nonce) {
      p.choice = chosenIndex;
      p.choiceBy = by;
    }
}

}  // namespace parley::terminal
