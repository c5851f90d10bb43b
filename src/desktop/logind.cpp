#include "desktop/logind.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <poll.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstring>
#include <stdexcept>
#include <string>

namespace parley::desktop {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

std::runtime_error busError(const std::string& what, int r, const sd_bus_error* error = nullptr) {
  std::string text = what + ": ";
  if (error != nullptr && sd_bus_error_is_set(error) && error->message != nullptr)
    text += error->message;
  else
    text += std::strerror(-r);
  return std::runtime_error(text);
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

BusPtr openSystemBus() {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_system(&bus);
  if (r < 0)
    throw busError("cannot connect to the system bus", r);
  return BusPtr(bus);
}

}  // namespace

LogindInhibitor::~LogindInhibitor() {
  drop();
}

void LogindInhibitor::take() {
  if (fd_ >= 0)
    return;
  BusPtr bus = openSystemBus();
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus.get(), kService, kPath, kManager, "Inhibit", &error, &reply,
                             "ssss", "idle:sleep", "Parley", "Parley session active", "block");
  if (r < 0) {
    auto e = busError("logind refused the inhibitor lock", r, &error);
    sd_bus_error_free(&error);
    throw e;
  }
  int fd = -1;
  r = sd_bus_message_read(reply, "h", &fd);
  // The descriptor belongs to the message; keep our own copy.
  const int owned = r < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 3);
  sd_bus_message_unref(reply);
  if (owned < 0)
    throw busError("logind sent no inhibitor descriptor", r < 0 ? r : -errno);
  fd_ = owned;
}

void LogindInhibitor::drop() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

// The bus connection lives on the executor: readiness of its descriptor (and
// its own timeouts) drive sd_bus_process, which dispatches the signal.
struct LogindSleepWatcher::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(boost::asio::any_io_executor executor) : descriptor(executor), timer(executor) {}

  ~Impl() {
    descriptor.release();  // sd-bus owns the descriptor
    if (slot != nullptr)
      sd_bus_slot_unref(slot);
  }

  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0)
      return 0;
    if (sleeping) {
      if (self->onWillSleep)
        self->onWillSleep();
    } else if (self->onDidWake) {
      self->onDidWake();
    }
    return 0;
  }

  void pump() {
    while (sd_bus_process(bus.get(), nullptr) > 0) {
    }
    if (closed)
      return;
    const int events = sd_bus_get_events(bus.get());
    if (events < 0)
      return;  // connection gone: nothing more will arrive
    std::weak_ptr<Impl> weak = shared_from_this();
    auto again = [weak](const boost::system::error_code& ec) {
      if (auto self = weak.lock(); self && !ec)
        self->pump();
    };
    // Exactly one wait of each kind is outstanding at a time.
    boost::system::error_code ignored;
    descriptor.cancel(ignored);
    timer.cancel();
    descriptor.async_wait((events & POLLOUT) ? boost::asio::posix::stream_descriptor::wait_write
                                             : boost::asio::posix::stream_descriptor::wait_read,
                          again);
    std::uint64_t usec = 0;
    if (sd_bus_get_timeout(bus.get(), &usec) >= 0 && usec != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = std::uint64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
      timer.expires_after(std::chrono::microseconds(usec > nowUsec ? usec - nowUsec : 0));
      timer.async_wait(again);
    }
  }

  BusPtr bus;
  sd_bus_slot* slot = nullptr;
  boost::asio::posix::stream_descriptor descriptor;
  boost::asio::steady_timer timer;
  bool closed = false;
  std::function<void()> onWillSleep;
  std::function<void()> onDidWake;
};

LogindSleepWatcher::LogindSleepWatcher(boost::asio::any_io_executor executor)
    : impl_(std::make_shared<Impl>(executor)) {}

LogindSleepWatcher::~LogindSleepWatcher() {
  impl_->closed = true;
  boost::system::error_code ignored;
  impl_->descriptor.cancel(ignored);
  impl_->timer.cancel();
}

void LogindSleepWatcher::start() {
  if (impl_->bus)
    return;
  BusPtr bus = openSystemBus();
  const int r = sd_bus_match_signal(bus.get(), &impl_->slot, kService, kPath, kManager,
                                    "PrepareForSleep", &Impl::onSignal, impl_.get());
  if (r < 0)
    throw busError("cannot subscribe to logind's sleep signal", r);
  impl_->onWillSleep = [this] {
    if (onWillSleep)
      onWillSleep();
  };
  impl_->onDidWake = [this] {
    if (onDidWake)
      onDidWake();
  };
  impl_->descriptor.assign(sd_bus_get_fd(bus.get()));
  impl_->bus = std::move(bus);
  impl_->pump();
}

}  // namespace parley::desktop
