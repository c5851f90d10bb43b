#pragma once

// The sessions the person detached at the desk: Parley leaves them alone
// until they are followed again. Nothing about them reaches the phone (not
// in its session list, no narration, requests or pushes), desktop voice
// does not speak for them, and a phone command that still names one (from
// a list shown before) is refused, on every channel the phone has.
//
// The set is read on the phone link's strand and changed on the main
// thread, hence the lock. It lives as long as the run: a restart follows
// every session again.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/server_messages.hpp"
#include "protocol/session_commands.hpp"

namespace parley::app {

class DetachedSessions {
 public:
  void detach(const std::string& sessionID);
  void follow(const std::string& sessionID);
  bool has(const std::string& sessionID) const;
  std::set<std::string> all() const;
  // Sessions that ended are forgotten: an id never comes back.
  void keepOnly(const std::vector<protocol::SessionDescriptor>& live);

  // The list without the detached sessions.
  std::vector<protocol::SessionDescriptor> followed(
      std::vector<protocol::SessionDescriptor> sessions) const;
  // The message as the phone may see it: none when it concerns a detached
  // session, a session list without them.
  std::optional<protocol::ServerMessage> forPhone(protocol::ServerMessage message) const;
  // The detached session a command names, if any.
  std::optional<std::string> named(const protocol::SessionCommand& command) const;
  // What the phone is told when it names a detached session.
  static const char* const refusal;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> ids_;
};

// The phone's door to the sessions, with the detached ones closed: their
// commands are refused and the lists it asks for leave them out.
class FollowedCommands : public protocol::SessionCommands {
 public:
  FollowedCommands(std::shared_ptr<const DetachedSessions> detached,
                   std::weak_ptr<protocol::SessionCommands> inner);
  void run(protocol::SessionCommand command, Done done) override;

 private:
  std::shared_ptr<const DetachedSessions> detached_;
  std::weak_ptr<protocol::SessionCommands> inner_;
};

}  // namespace parley::app
