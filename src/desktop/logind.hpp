#pragma once

// systemd-logind over the system D-Bus: an idle-sleep inhibitor lock, the
// PrepareForSleep signal that tells when the machine suspends and resumes,
// and the login session's idle and lock state that tells whether the person
// is at the computer. All honour DBUS_SYSTEM_BUS_ADDRESS, so tests can run
// them against a private bus.

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "desktop/sleep_assertion.hpp"

namespace parley::desktop {

// Holds logind's "idle:sleep" inhibitor (who "Parley", why "Parley session
// active") as a file descriptor; closing it lets the machine sleep again.
class LogindInhibitor : public PowerInhibitor {
 public:
  LogindInhibitor() = default;
  ~LogindInhibitor() override;
  void take() override;
  void drop() override;

 private:
  int fd_ = -1;
};

// Follows logind's PrepareForSleep(true/false) on the given executor.
class LogindSleepWatcher {
 public:
  explicit LogindSleepWatcher(boost::asio::any_io_executor executor);
  ~LogindSleepWatcher();
  LogindSleepWatcher(const LogindSleepWatcher&) = delete;
  LogindSleepWatcher& operator=(const LogindSleepWatcher&) = delete;

  // Connects and subscribes; throws std::runtime_error when there is no
  // system bus (containers, CI), in which case sleep simply goes unnoticed.
  void start();

  std::function<void()> onWillSleep;
  std::function<void()> onDidWake;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// What the login session says of the person, as the desktop told logind.
struct Presence {
  bool idle = false;
  // Since when the session is idle (meaningful while idle). A desktop that
  // gives no time has it counted from when the change was seen.
  std::chrono::system_clock::time_point idleSince{};
  bool locked = false;
  bool operator==(const Presence&) const = default;
};

// Follows the IdleHint, IdleSinceHint and LockedHint of this user's login
// session (logind's "auto" session: the caller's own, or the user's graphical
// one when the caller runs outside any, as a systemd user service does).
// Nothing blocks: the session is looked up, read and followed through its
// PropertiesChanged signal with asynchronous calls on the executor.
class LogindPresenceWatcher {
 public:
  explicit LogindPresenceWatcher(boost::asio::any_io_executor executor);
  ~LogindPresenceWatcher();
  LogindPresenceWatcher(const LogindPresenceWatcher&) = delete;
  LogindPresenceWatcher& operator=(const LogindPresenceWatcher&) = delete;

  // Connects and starts looking for the session; throws std::runtime_error
  // when there is no system bus. Set the callbacks first.
  void start();

  // The state as first read, then each change of it.
  std::function<void(const Presence&)> onChange;
  // Once, when logind cannot tell (no session, no answer, the bus went
  // away), and why; nothing more is reported after it.
  std::function<void(const std::string&)> onUnavailable;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace parley::desktop
