#include "app/power_policy.hpp"

#include "desktop/logind.hpp"

namespace parley::app {

namespace {
std::unique_ptr<desktop::PowerInhibitor> makeInhibitor(const PowerPolicy::Options& options) {
  return options.makeInhibitor ? options.makeInhibitor()
                               : std::make_unique<desktop::LogindInhibitor>();
}
}  // namespace

PowerPolicy::PowerPolicy(boost::asio::any_io_executor main, Options options)
    : main_(main),
      watchSystemSleep_(options.watchSystemSleep),
      assertion_(main, makeInhibitor(options), options.idleInterval) {
  assertion_.onUnavailable = [this](const std::string& why) {
    if (onUnavailable)
      onUnavailable(why);
  };
}

PowerPolicy::~PowerPolicy() = default;

void PowerPolicy::start() {
  if (!watchSystemSleep_)
    return;
  watcher_ = std::make_unique<desktop::LogindSleepWatcher>(main_);
  watcher_->onWillSleep = [this] {
    if (onWillSleep)
      onWillSleep();
  };
  watcher_->onDidWake = [this] {
    if (onDidWake)
      onDidWake();
  };
  try {
    watcher_->start();
  } catch (const std::exception&) {
    // Without a system bus there is no suspend to follow either.
    watcher_.reset();
  }
}

void PowerPolicy::activity() {
  assertion_.acquire();
}

void PowerPolicy::release(const std::string& reason) {
  assertion_.release(reason);
}

}  // namespace parley::app
