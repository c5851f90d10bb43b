#pragma once

// Keeps the computer awake while a phone or a session is active, and follows
// the system going to sleep and waking: the idle-sleep inhibitor and the
// logind watcher, behind one policy.

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "desktop/sleep_assertion.hpp"

namespace parley::desktop {
class LogindSleepWatcher;
}

namespace parley::app {

class PowerPolicy {
 public:
  struct Options {
    std::chrono::steady_clock::duration idleInterval = std::chrono::seconds(60);
    // Inhibits idle sleep; the logind one by default.
    std::function<std::unique_ptr<desktop::PowerInhibitor>()> makeInhibitor;
    // Follow logind's sleep and wake signals (off in tests).
    bool watchSystemSleep = true;
  };

  // Everything runs on `main`; the callbacks are set before start().
  PowerPolicy(boost::asio::any_io_executor main, Options options);
  ~PowerPolicy();
  PowerPolicy(const PowerPolicy&) = delete;
  PowerPolicy& operator=(const PowerPolicy&) = delete;

  // Starts following the system's sleep, where there is a system bus.
  void start();

  // A sign of activity: keep the computer awake a while longer.
  void activity();
  // Nothing needs the computer awake any more.
  void release(const std::string& reason);
  bool isHeld() const { return assertion_.isHeld(); }

  std::function<void()> onWillSleep;
  std::function<void()> onDidWake;
  // Idle sleep cannot be prevented, and why.
  std::function<void(const std::string&)> onUnavailable;

 private:
  boost::asio::any_io_executor main_;
  bool watchSystemSleep_;
  desktop::SleepAssertion assertion_;
  std::unique_ptr<desktop::LogindSleepWatcher> watcher_;
};

}  // namespace parley::app
