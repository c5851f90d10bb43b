#pragma once

// systemd-logind over the system D-Bus: an idle-sleep inhibitor lock, and the
// PrepareForSleep signal that tells when the machine suspends and resumes.
// Both honour DBUS_SYSTEM_BUS_ADDRESS, so tests can run them against a
// private bus.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <memory>

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

}  // namespace parley::desktop
