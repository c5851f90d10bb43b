#include "desktop/sleep_assertion.hpp"

#include <stdexcept>

namespace parley::desktop {

SleepAssertion::SleepAssertion(boost::asio::any_io_executor executor,
                               std::unique_ptr<PowerInhibitor> inhibitor,
                               std::chrono::steady_clock::duration idleInterval)
    : inhibitor_(std::move(inhibitor)), idleInterval_(idleInterval), idleTimer_(executor) {}

SleepAssertion::~SleepAssertion() {
  *alive_ = false;
  if (isHeld())
    inhibitor_->drop();
}

void SleepAssertion::acquire() {
  if (!isHeld()) {
    try {
      inhibitor_->take();
      heldSince_ = Clock::now();
      if (onLog)
        onLog("sleep assertion taken");
    } catch (const std::exception& e) {
      if (onLog)
        onLog(std::string("idle-sleep inhibitor failed: ") + e.what());
      if (!reportedUnavailable_) {
        reportedUnavailable_ = true;
        if (onUnavailable)
          onUnavailable(e.what());
      }
    }
  }
  armIdleTimer();
}

void SleepAssertion::armIdleTimer() {
  idleTimer_.expires_after(idleInterval_);
  std::weak_ptr<bool> alive = alive_;
  idleTimer_.async_wait([this, alive](const boost::system::error_code& ec) {
    if (ec || alive.expired())
      return;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(idleInterval_).count();
    release("idle " + std::to_string(secs) + "s");
  });
}

void SleepAssertion::release(const std::string& reason) {
  idleTimer_.cancel();
  if (!isHeld())
    return;
  inhibitor_->drop();
  heldSince_.reset();
  if (onLog)
    onLog("sleep assertion released (" + reason + ")");
}

}  // namespace parley::desktop
