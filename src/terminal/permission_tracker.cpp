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
      watchTimer_(strand_),
      interrupts_(std::make_shared<InterruptWatcher>(executor, options.scrapeInterval,
                                                     options.scrapeTimeout)) {}

std::optional<std::string> PermissionTracker::capture(
    const protocol::SessionDescriptor& session) const {
  try {
    return TmuxClient(tmuxExecutable_, session.socketPath)
        .capture(session.paneID, std::nullopt, false);
  } catch (const std::exception&) {
    return std::nullopt;
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
      if (self->open_.count(id) != 0 || self->attempts_.count(id) != 0)
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
        const auto o = open_.find(id);
        const Pending* p = o != open_.end() ? &o->second.request : nullptr;
        if (p != nullptr && p->fingerprint == dialog->fingerprint) {
          // Claude Code asks once per dialog it draws, so the hook of the
          // very call the pending request was for means it was asked again.
          const bool askedAgain = wanted->toolName && p->toolName == wanted->toolName &&
                                  p->toolInput == wanted->toolInput;
          // Otherwise the dialog published is still up: unless it was just
          // answered (and the next one is not drawn yet) there is nothing new.
          if (!askedAgain && !p->choice) {
            attempts_.erase(attempt);
            return;
          }
          alreadyShown = !askedAgain;
        }
      }
      if (!alreadyShown) {
        attempts_.erase(attempt);
        wanted->dialog = std::move(*dialog);
        const std::size_t interruptions = interrupts_->countIn(wanted->session);
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
    open_[id].request = Pending{.sessionID = id,
                                .requestID = request.requestID,
                                .nonce = request.nonce,
                                .fingerprint = sighting.dialog.fingerprint,
                                .toolName = sighting.toolName,
                                .toolInput = sighting.toolInput,
                                .tier = request.tier};
    open_[id].interruptedBefore = interruptedOnScreen;
    open_[id].pane = sighting.session;
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
        const std::size_t interruptions = self->interrupts_->countIn(s.descriptor);
        self->show(Sighting{s.descriptor, std::nullopt, std::nullopt, std::move(*dialog)},
                   interruptions);
      }
    }
  });
}

// ---- a dialog closes ----------------------------------------------------------------

void PermissionTracker::resolveLocked(const std::string& sessionID, By how,
                                      std::vector<protocol::ServerMessage>& out) {
  const auto o = open_.find(sessionID);
  if (o == open_.end())
    return;
  const Pending* p = &o->second.request;
  protocol::PermissionResolved resolved{.requestID = p->requestID};
  // Whatever else happened after it, a pressed answer closed the dialog.
  if (p->choice) {
    resolved.by = p->choiceBy;
    resolved.chosenIndex = p->choice;
  } else {
    resolved.by = how;
  }
  out.emplace_back(std::move(resolved));
  open_.erase(o);
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
      const auto o = self->open_.find(id);
      if (o == self->open_.end())
        return;
      fingerprint = o->second.request.fingerprint;
      pane = o->second.pane;
    }
    std::vector<protocol::ServerMessage> messages;
    if (e == Event::sessionEnd) {
      {
        const std::lock_guard lock(self->mutex_);
        self->resolveLocked(id, By::expired, messages);
      }
      self->flush(std::move(messages));
      return;
    }
    // A tool running beside the one that asked finishes while the dialog is
    // still up; only a dialog gone from the screen is closed, and one look
    // may catch a repaint half done: this look counts as the watch's first
    // miss, and the watch looks again a moment later.
    const auto screen = self->capture(*pane);
    const auto shown = screen ? DialogScraper::scrape(*screen) : std::nullopt;
    if (shown && shown->fingerprint == fingerprint)
      return;
    {
      const std::lock_guard lock(self->mutex_);
      const auto o = self->open_.find(id);
      if (o == self->open_.end())
        return;
      o->second.goneOnce = true;
    }
    self->lookAgainSoon();
  });
}

void PermissionTracker::lookAgainSoon() {
  auto timer = std::make_shared<asio::steady_timer>(strand_, options_.scrapeInterval);
  timer->async_wait([self = shared_from_this(), timer](const boost::system::error_code& ec) {
    if (!ec && !self->stopped_)
      self->watchTick();
  });
}

void PermissionTracker::stop() {
  interrupts_->stop();
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
    for (const auto& [id, o] : open_)
      watched.emplace(id, Watched{o.pane, o.request.fingerprint, o.interruptedBefore});
  }
  std::vector<protocol::ServerMessage> messages;
  for (const auto& [id, w] : watched) {
    const auto screen = capture(w.pane);
    const auto shown = screen ? DialogScraper::scrape(*screen) : std::nullopt;
    if (shown && shown->fingerprint == w.fingerprint) {
      const std::lock_guard lock(mutex_);
      if (const auto o = open_.find(id); o != open_.end())
        o->second.goneOnce = false;
      continue;
    }
    {
      // A capture may catch a redraw half done, or fail: only a dialog
      // missing from two looks in a row has closed.
      const std::lock_guard lock(mutex_);
      const auto o = open_.find(id);
      if (o != open_.end() && !o->second.goneOnce) {
        o->second.goneOnce = true;
        continue;
      }
    }
    // Escape on the dialog stops the turn; the pane says so.
    const bool interrupted = screen && interrupts_->countIn(w.pane) > w.interruptedBefore;
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
  if (!open_.empty())
    asio::post(strand_, [self = shared_from_this()] { self->startWatching(); });
}

void PermissionTracker::watchForInterrupt(protocol::SessionDescriptor session, std::size_t before) {
  interrupts_->watch(std::move(session), before,
                     [weak = weak_from_this()](const protocol::SessionDescriptor& seen) {
                       if (auto self = weak.lock())
                         self->interrupted(seen);
                     });
}

void PermissionTracker::interrupted(const protocol::SessionDescriptor& session) {
  std::vector<protocol::ServerMessage> messages;
  {
    const std::lock_guard lock(mutex_);
    resolveLocked(session.sessionID, By::expired, messages);
  }
  messages.emplace_back(protocol::Interrupted{
      .sessionID = session.sessionID, .detectedVia = "screen: after Escape from the phone"});
  flush(std::move(messages));
}

// ---- asked by the driver ------------------------------------------------------------

std::optional<PermissionTracker::Pending> PermissionTracker::pendingFor(
    const std::string& nonce) const {
  const std::lock_guard lock(mutex_);
  for (const auto& [id, o] : open_)
    if (o.request.nonce == nonce)
      return o.request;
  return std::nullopt;
}

std::optional<PermissionTracker::Pending> PermissionTracker::pendingIn(
    const std::string& sessionID) const {
  const std::lock_guard lock(mutex_);
  const auto it = open_.find(sessionID);
  return it == open_.end() ? std::nullopt : std::optional(it->second.request);
}

bool PermissionTracker::hasPending(const std::string& sessionID) const {
  return pendingIn(sessionID).has_value();
}

void PermissionTracker::answered(const std::string& nonce, std::int64_t chosenIndex, By by) {
  const std::lock_guard lock(mutex_);
  for (auto& [id, o] : open_)
    if (o.request.nonce == nonce) {
      o.request.choice = chosenIndex;
      o.request.choiceBy = by;
    }
}

}  // namespace parley::terminal
