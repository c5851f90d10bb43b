#include "app/detached_sessions.hpp"

#include <algorithm>
#include <stdexcept>

#include "protocol/session_of.hpp"

namespace parley::app {

void DetachedSessions::detach(const std::string& sessionID) {
  const std::lock_guard lock(mutex_);
  ids_.insert(sessionID);
}

void DetachedSessions::follow(const std::string& sessionID) {
  const std::lock_guard lock(mutex_);
  ids_.erase(sessionID);
}

bool DetachedSessions::has(const std::string& sessionID) const {
  const std::lock_guard lock(mutex_);
  return ids_.contains(sessionID);
}

std::set<std::string> DetachedSessions::all() const {
  const std::lock_guard lock(mutex_);
  return ids_;
}

void DetachedSessions::keepOnly(const std::vector<protocol::SessionDescriptor>& live) {
  const std::lock_guard lock(mutex_);
  std::erase_if(ids_, [&](const std::string& id) {
    return std::none_of(live.begin(), live.end(),
                        [&](const protocol::SessionDescriptor& s) { return s.sessionID == id; });
  });
}

std::vector<protocol::SessionDescriptor> DetachedSessions::followed(
    std::vector<protocol::SessionDescriptor> sessions) const {
  const std::lock_guard lock(mutex_);
  std::erase_if(sessions,
                [&](const protocol::SessionDescriptor& s) { return ids_.contains(s.sessionID); });
  return sessions;
}

std::optional<protocol::ServerMessage> DetachedSessions::forPhone(
    protocol::ServerMessage message) const {
  if (auto* update = std::get_if<protocol::SessionUpdate>(&message)) {
    update->sessions = followed(std::move(update->sessions));
    return message;
  }
  const auto id = std::visit([](const auto& record) { return protocol::sessionOf(record); },
                             static_cast<const protocol::ServerMessageVariant&>(message));
  if (id && has(*id))
    return std::nullopt;
  return message;
}

std::optional<std::string> DetachedSessions::named(const protocol::SessionCommand& command) const {
  auto id = std::visit([](const auto& record) { return protocol::sessionOf(record); }, command);
  // A resumed session that is still live is opened, not started again.
  if (const auto* resume = std::get_if<protocol::ResumeSession>(&command))
    id = resume->historyID;
  if (id && has(*id))
    return id;
  return std::nullopt;
}

const char* const DetachedSessions::refusal =
    "this session is detached at the desk: Parley leaves it alone until it is followed again "
    "from the control panel";

FollowedCommands::FollowedCommands(std::shared_ptr<const DetachedSessions> detached,
                                   std::weak_ptr<protocol::SessionCommands> inner)
    : detached_(std::move(detached)), inner_(std::move(inner)) {}

void FollowedCommands::run(protocol::SessionCommand command, Done done) {
  if (detached_->named(command)) {
    done(std::make_exception_ptr(std::runtime_error(DetachedSessions::refusal)), std::monostate{});
    return;
  }
  const auto inner = inner_.lock();
  if (!inner) {
    done(std::make_exception_ptr(std::runtime_error("Parley is quitting")), std::monostate{});
    return;
  }
  if (std::holds_alternative<protocol::ListSessions>(command)) {
    inner->run(std::move(command), [detached = detached_, done = std::move(done)](
                                       std::exception_ptr error, protocol::CommandResult result) {
      if (auto* sessions = std::get_if<std::vector<protocol::SessionDescriptor>>(&result))
        *sessions = detached->followed(std::move(*sessions));
      done(error, std::move(result));
    });
    return;
  }
  inner->run(std::move(command), std::move(done));
}

}  // namespace parley::app
