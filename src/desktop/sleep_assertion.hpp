#pragma once

// Keeps the desktop from idle-sleeping while a phone is in use: held on every
// sign of activity, released after a quiet minute, a phone disconnect, or when
// the system is going to sleep anyway.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parley::desktop {

// The platform's idle-sleep inhibitor.
class PowerInhibitor {
 public:
  virtual ~PowerInhibitor() = default;
  // Takes the inhibitor; throws std::runtime_error with the platform's reason
  // when it cannot.
  virtual void take() = 0;
  virtual void drop() = 0;
};

class SleepAssertion {
 public:
  using Clock = std::chrono::system_clock;

  SleepAssertion(boost::asio::any_io_executor executor, std::unique_ptr<PowerInhibitor> inhibitor,
                 std::chrono::steady_clock::duration idleInterval = std::chrono::seconds(60));
  ~SleepAssertion();
  SleepAssertion(const SleepAssertion&) = delete;
  SleepAssertion& operator=(const SleepAssertion&) = delete;

  // Every sign of activity: take the inhibitor if not held, and push the idle
  // deadline a full interval forward.
  void acquire();
  void release(const std::string& reason);

  bool isHeld() const { return heldSince_.has_value(); }
  std::optional<Clock::time_point> heldSince() const { return heldSince_; }

  // Diagnostics ("sleep assertion taken", "... released (reason)").
  std::function<void(const std::string&)> onLog;
  // Called once, the first time the inhibitor cannot be taken, with the
  // reason; the user must learn that idle sleep is not being prevented.
  std::function<void(const std::string&)> onUnavailable;

 private:
  void armIdleTimer();

  std::unique_ptr<PowerInhibitor> inhibitor_;
  std::chrono::steady_clock::duration idleInterval_;
  boost::asio::steady_timer idleTimer_;
  std::optional<Clock::time_point> heldSince_;
  bool reportedUnavailable_ = false;
  // Handlers check this so a timer firing after destruction does nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace parley::desktop
