#include "desktop/logind.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <poll.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/free_with.hpp"

namespace parley::desktop {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

std::runtime_error busError(const std::string& what, int r, const sd_bus_error* error = nullptr) {
  std::string text = what + ": ";
  if (error != nullptr && sd_bus_error_is_set(error) && error->message != nullptr)
    text += error->message;
  else
    text += std::strerror(-r);
  return std::runtime_error(text);
}

using BusPtr = std::unique_ptr<sd_bus, base::FreeWith<sd_bus_flush_close_unref>>;

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

// A bus connection that lives on an executor: readiness of its descriptor
// (and its own timeouts) drive sd_bus_process, which dispatches signals and
// replies. The watchers derive from it; their handlers run inside pump().
struct BusLoop : std::enable_shared_from_this<BusLoop> {
  explicit BusLoop(boost::asio::any_io_executor executor) : descriptor(executor), timer(executor) {}
  virtual ~BusLoop() { descriptor.release(); }  // sd-bus owns the descriptor

  void attach(BusPtr connection) {
    descriptor.assign(sd_bus_get_fd(connection.get()));
    bus = std::move(connection);
    pump();
  }

  void close() {
    closed = true;
    boost::system::error_code ignored;
    descriptor.cancel(ignored);
    timer.cancel();
  }

  void pump() {
    while (!closed && sd_bus_process(bus.get(), nullptr) > 0) {
    }
    if (closed)
      return;
    const int events = sd_bus_get_events(bus.get());
    if (events < 0) {
      lost();  // connection gone: nothing more will arrive
      return;
    }
    std::weak_ptr<BusLoop> weak = shared_from_this();
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

  virtual void lost() {}

  BusPtr bus;
  boost::asio::posix::stream_descriptor descriptor;
  boost::asio::steady_timer timer;
  bool closed = false;
};

struct LogindSleepWatcher::Impl : BusLoop {
  using BusLoop::BusLoop;

  ~Impl() override {
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

  sd_bus_slot* slot = nullptr;
  std::function<void()> onWillSleep;
  std::function<void()> onDidWake;
};

LogindSleepWatcher::LogindSleepWatcher(boost::asio::any_io_executor executor)
    : impl_(std::make_shared<Impl>(executor)) {}

LogindSleepWatcher::~LogindSleepWatcher() {
  impl_->close();
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
  impl_->attach(std::move(bus));
}

// ---- presence ----------------------------------------------------------------------

namespace {

std::string replyError(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (error != nullptr && error->message != nullptr)
    return error->message;
  return std::strerror(sd_bus_message_get_errno(reply));
}

// The session's hints as logind sends them, before they are made a Presence.
struct Hints {
  bool idle = false;
  std::uint64_t idleSinceUsec = 0;  // CLOCK_REALTIME; 0 when the desktop gave none
  bool locked = false;
};

// Reads an a{sv} of the session's properties into `hints`, leaving the ones
// it does not hold as they were. False when the message is not what logind
// sends, and then nothing is changed.
bool readHints(sd_bus_message* message, Hints& hints) {
  Hints read = hints;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0)
    return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0)
      return false;
    int flag = 0;
    if (std::strcmp(name, "IdleHint") == 0) {
      r = sd_bus_message_read(message, "v", "b", &flag);
      read.idle = flag != 0;
    } else if (std::strcmp(name, "LockedHint") == 0) {
      r = sd_bus_message_read(message, "v", "b", &flag);
      read.locked = flag != 0;
    } else if (std::strcmp(name, "IdleSinceHint") == 0) {
      r = sd_bus_message_read(message, "v", "t", &read.idleSinceUsec);
    } else {
      r = sd_bus_message_skip(message, "v");
    }
    if (r < 0 || sd_bus_message_exit_container(message) < 0)
      return false;
  }
  if (r < 0 || sd_bus_message_exit_container(message) < 0)
    return false;
  hints = read;
  return true;
}

}  // namespace

struct LogindPresenceWatcher::Impl : BusLoop {
  using BusLoop::BusLoop;

  ~Impl() override {
    for (sd_bus_slot* slot : {lookup, match, reading})
      if (slot != nullptr)
        sd_bus_slot_unref(slot);
  }

  static Impl& of(void* userdata) { return *static_cast<Impl*>(userdata); }

  void fail(const std::string& why) {
    if (gaveUp)
      return;
    gaveUp = true;
    if (onUnavailable)
      onUnavailable(why);
  }

  void lost() override { fail("the system bus connection was lost"); }

  static int onSession(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    Impl& self = of(userdata);
    const char* path = nullptr;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
      self.fail("logind knows no login session for this user (" + replyError(reply) + ")");
      return 0;
    }
    if (sd_bus_message_read(reply, "o", &path) < 0) {
      self.fail("logind answered the session lookup with something else");
      return 0;
    }
    self.session = path;
    // The subscription goes out before the first read, so no change falls
    // between the two.
    int r = sd_bus_match_signal_async(self.bus.get(), &self.match, kService, path, kProperties,
                                      "PropertiesChanged", &Impl::onChanged, nullptr, &self);
    if (r >= 0)
      r = self.readAll();
    if (r < 0)
      self.fail(std::string("cannot follow the login session: ") + std::strerror(-r));
    return 0;
  }

  int readAll() {
    if (reading != nullptr)
      reading = sd_bus_slot_unref(reading);
    return sd_bus_call_method_async(bus.get(), &reading, kService, session.c_str(), kProperties,
                                    "GetAll", &Impl::onAll, this, "s", kSession);
  }

  static int onAll(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    Impl& self = of(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
      self.fail("cannot read the login session's idle state (" + replyError(reply) + ")");
      return 0;
    }
    if (!readHints(reply, self.hints)) {
      self.fail("logind described the login session in a form it does not use");
      return 0;
    }
    self.report();
    return 0;
  }

  static int onChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    Impl& self = of(userdata);
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 || std::strcmp(interface, kSession) != 0)
      return 0;
    if (!readHints(message, self.hints))
      return 0;
    // A property named without its value is read again.
    bool invalidated = false;
    if (sd_bus_message_enter_container(message, 'a', "s") > 0) {
      const char* name = nullptr;
      while (sd_bus_message_read(message, "s", &name) > 0)
        invalidated = invalidated || std::strcmp(name, "IdleHint") == 0 ||
                      std::strcmp(name, "IdleSinceHint") == 0 ||
                      std::strcmp(name, "LockedHint") == 0;
    }
    if (invalidated)
      self.readAll();
    self.report();
    return 0;
  }

  void report() {
    if (gaveUp)
      return;
    Presence now{.idle = hints.idle, .locked = hints.locked};
    if (hints.idle) {
      if (hints.idleSinceUsec != 0)
        now.idleSince = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::microseconds(hints.idleSinceUsec)));
      else
        now.idleSince =
            presence && presence->idle ? presence->idleSince : std::chrono::system_clock::now();
    }
    if (presence == now)
      return;
    presence = now;
    if (onChange)
      onChange(now);
  }

  sd_bus_slot* lookup = nullptr;
  sd_bus_slot* match = nullptr;
  sd_bus_slot* reading = nullptr;
  std::string session;
  Hints hints;
  std::optional<Presence> presence;
  bool gaveUp = false;
  std::function<void(const Presence&)> onChange;
  std::function<void(const std::string&)> onUnavailable;
};

LogindPresenceWatcher::LogindPresenceWatcher(boost::asio::any_io_executor executor)
    : impl_(std::make_shared<Impl>(executor)) {}

LogindPresenceWatcher::~LogindPresenceWatcher() {
  impl_->close();
}

void LogindPresenceWatcher::start() {
  if (impl_->bus)
    return;
  BusPtr bus = openSystemBus();
  const int r = sd_bus_call_method_async(bus.get(), &impl_->lookup, kService, kPath, kManager,
                                         "GetSession", &Impl::onSession, impl_.get(), "s", "auto");
  if (r < 0)
    throw busError("cannot ask logind for the login session", r);
  impl_->onChange = [this](const Presence& presence) {
    if (onChange)
      onChange(presence);
  };
  impl_->onUnavailable = [this](const std::string& why) {
    if (onUnavailable)
      onUnavailable(why);
  };
  impl_->attach(std::move(bus));
}

}  // namespace parley::desktop
