#include "app/alert_policy.hpp"

#include "text/printable.hpp"
#include "text/unicode.hpp"

namespace parley::app {

using Push = NotificationSettings::Push;

namespace {

// The first of the candidates with text, made fit for one line.
std::string line(std::initializer_list<std::string_view> candidates, std::size_t bytes = 200) {
  for (std::string_view candidate : candidates)
    if (!text::trimmed(candidate).empty())
      return text::printable(text::trimmed(candidate), bytes);
  return std::string();
}

// A request in a few words, for the log.
std::string what(const protocol::ServerMessage& message) {
  if (const auto* r = std::get_if<protocol::PermissionRequest>(&message))
    return "permission for " + line({r->toolName, "a tool"}, 60);
  if (const auto* q = std::get_if<protocol::QuestionRequest>(&message))
    return "question \u201c" +
           line({q->questions.empty() ? "" : q->questions.front().text, "?"}, 80) + "\u201d";
  return "request";
}

}  // namespace

std::shared_ptr<AlertPolicy> AlertPolicy::create(boost::asio::any_io_executor main,
                                                 NotificationSettings settings, Outlets outlets) {
  return std::shared_ptr<AlertPolicy>(
      new AlertPolicy(std::move(main), std::move(settings), std::move(outlets)));
}

AlertPolicy::AlertPolicy(boost::asio::any_io_executor main, NotificationSettings settings,
                         Outlets outlets)
    : main_(std::move(main)), settings_(std::move(settings)), out_(std::move(outlets)) {}

AlertPolicy::~AlertPolicy() = default;

void AlertPolicy::setSettings(NotificationSettings settings) {
  settings_ = std::move(settings);
}

void AlertPolicy::presenceChanged(const desktop::Presence& presence) {
  presence_ = presence;
}

void AlertPolicy::presenceUnavailable(const std::string& why) {
  presence_.reset();
  if (!presenceProblem_.empty())
    return;
  presenceProblem_ = why;
  out_.log(LogEntry::Kind::error,
           "whether you are at the desk is unknown (" + why +
               ") \u2014 alerts go to the phone whenever its page is closed");
}

AlertPolicy::Whereabouts AlertPolicy::whereabouts() const {
  if (!presence_)
    return Whereabouts::unknown;
  if (presence_->locked)
    return Whereabouts::away;
  // The wall clock, as logind's idle time is.
  if (presence_->idle &&
      std::chrono::system_clock::now() - presence_->idleSince >= settings_.awayAfter)
    return Whereabouts::away;
  return Whereabouts::atDesk;
}

std::string AlertPolicy::whereaboutsText() const {
  switch (whereabouts()) {
    case Whereabouts::atDesk:
      return "at the desk";
    case Whereabouts::away:
      return presence_ && presence_->locked ? "away (screen locked)" : "away (idle)";
    case Whereabouts::unknown:
      break;
  }
  return presenceProblem_.empty() ? "not known yet" : "unknown: " + presenceProblem_;
}

std::string AlertPolicy::sessionName(const std::string& sessionID) const {
  const auto it = sessionNames_.find(sessionID);
  return it == sessionNames_.end() ? std::string("Claude Code") : it->second;
}

void AlertPolicy::observe(const protocol::ServerMessage& message) {
  if (const auto* update = std::get_if<protocol::SessionUpdate>(&message)) {
    std::map<std::string, std::string> before = std::move(sessionNames_);
    sessionNames_.clear();
    for (const auto& session : update->sessions)
      sessionNames_[session.sessionID] = session.displayName.value_or(session.shortName());
    // A session that was listed and has ended answers nothing more; one
    // never listed (its pane not found yet) may still.
    std::erase_if(waiting_, [&](const auto& entry) {
      const std::string& id = entry.second.sessionID;
      return before.contains(id) && !sessionNames_.contains(id);
    });
  } else if (const auto* r = std::get_if<protocol::PermissionRequest>(&message)) {
    request(message, r->sessionID, r->requestID);
  } else if (const auto* q = std::get_if<protocol::QuestionRequest>(&message)) {
    request(message, q->sessionID, q->requestID);
  } else if (const auto* resolved = std::get_if<protocol::PermissionResolved>(&message)) {
    waiting_.erase(resolved->requestID);
  } else if (const auto* tool = std::get_if<protocol::ToolFinished>(&message)) {
    // The question tool's own end is its answer.
    settle(tool->sessionID, true);
  } else if (const auto* started = std::get_if<protocol::TurnStarted>(&message)) {
    settle(started->sessionID, false);
  } else if (const auto* interrupted = std::get_if<protocol::Interrupted>(&message)) {
    settle(interrupted->sessionID, false);
  } else if (const auto* finished = std::get_if<protocol::TurnFinished>(&message)) {
    settle(finished->sessionID, false);
    // News, not a request: it waits for nobody, so the desk needs no notice.
    if (settings_.push == Push::always ||
        (settings_.push == Push::whenAway && whereabouts() != Whereabouts::atDesk))
      out_.push(message);
  }
}

void AlertPolicy::settle(const std::string& sessionID, bool questionsOnly) {
  std::erase_if(waiting_, [&](const auto& entry) {
    return entry.second.sessionID == sessionID && (entry.second.question || !questionsOnly);
  });
}

void AlertPolicy::request(const protocol::ServerMessage& message, const std::string& sessionID,
                          const std::string& requestID) {
  // The same request is published again (a sweep finds the dialog anew):
  // it was dealt with when it first came.
  if (waiting_.contains(requestID))
    return;
  Waiting& waiting = waiting_[requestID];
  waiting.sessionID = sessionID;
  waiting.question = std::holds_alternative<protocol::QuestionRequest>(message);
  waiting.message = message;

  const Whereabouts where = whereabouts();
  // A connected phone shows the card itself: the desk is told only when the
  // person is known to be there, or when no phone is.
  if (where == Whereabouts::atDesk || !out_.phoneConnected())
    deskNotice(message);
  switch (settings_.push) {
    case Push::never:
      return;
    case Push::always:
      out_.push(message);
      return;
    case Push::whenAway:
      break;
  }
  if (where != Whereabouts::atDesk) {
    out_.push(message);
    return;
  }
  waiting.timer = std::make_unique<boost::asio::steady_timer>(main_, settings_.unansweredAfter);
  waiting.timer->async_wait(
      [weak = weak_from_this(), requestID](const boost::system::error_code& ec) {
        if (auto self = weak.lock(); self && !ec)
          self->unanswered(requestID);
      });
}

void AlertPolicy::unanswered(const std::string& requestID) {
  const auto it = waiting_.find(requestID);
  if (it == waiting_.end() || settings_.push == Push::never)
    return;
  it->second.timer.reset();
  out_.log(LogEntry::Kind::cmd, sessionName(it->second.sessionID) + ": " +
                                    what(it->second.message) + " unanswered at the desk for " +
                                    std::to_string(settings_.unansweredAfter.count()) +
                                    " s \u2014 sent to the phone");
  out_.push(it->second.message);
}

void AlertPolicy::deskNotice(const protocol::ServerMessage& message) {
  if (const auto* r = std::get_if<protocol::PermissionRequest>(&message)) {
    const bool destructive = r->tier == protocol::RiskTier::destructive;
    out_.desk("Parley \u2014 permission needed",
              sessionName(r->sessionID) + ": " +
                  line({r->narration.text, r->narration.speech, r->toolName, "a tool call"}) +
                  (destructive ? " (only the keyboard can approve it)" : ""));
  } else if (const auto* q = std::get_if<protocol::QuestionRequest>(&message)) {
    // Both sides views: a "" beside a string would make the whole a
    // temporary string that the view outlives.
    const std::string_view first =
        q->questions.empty() ? std::string_view() : std::string_view(q->questions.front().text);
    out_.desk("Parley \u2014 Claude has a question",
              sessionName(q->sessionID) + ": " +
                  line({first, q->narration.text, "a question is waiting"}));
  }
}

}  // namespace parley::app
