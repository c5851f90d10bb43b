#include "dbus_standins.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstddef>
#include <future>
#include <stdexcept>

extern char** environ;

namespace parley::test {

PrivateBus::PrivateBus(bool alsoSessionBus) {
  std::vector<std::string> args{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                "--address=" + address()};
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start dbus-daemon");
  // The socket file appears before the daemon listens on it: ready is when
  // the daemon answers.
  const auto answers = [&] {
    sd_bus* probe = nullptr;
    sd_bus_new(&probe);
    sd_bus_set_address(probe, address().c_str());
    sd_bus_set_bus_client(probe, 1);
    bool ok = sd_bus_start(probe) >= 0;
    if (ok) {
      sd_bus_message* reply = nullptr;
      ok = sd_bus_call_method(probe, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetId", nullptr, &reply, "") >= 0;
      sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(probe);
    return ok;
  };
  if (!waitUntil(answers))
    throw std::runtime_error("dbus-daemon did not come up");
  system_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address());
  if (alsoSessionBus)
    session_.emplace("DBUS_SESSION_BUS_ADDRESS", address());
}

PrivateBus::~PrivateBus() {
  session_.reset();
  system_.reset();
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

// ---- a served connection -----------------------------------------------------------

BusService::BusService(const std::string& address, const char* name) : name_(name) {
  sd_bus_new(&bus_);
  sd_bus_set_address(bus_, address.c_str());
  sd_bus_set_bus_client(bus_, 1);
  if (sd_bus_start(bus_) < 0)
    throw std::runtime_error(name_ + " stand-in cannot connect");
}

BusService::~BusService() {
  sd_bus_flush_close_unref(bus_);
}

void BusService::startServing() {
  if (sd_bus_request_name(bus_, name_.c_str(), 0) < 0)
    throw std::runtime_error(name_ + " stand-in cannot own its name");
  thread_ = std::thread([this] { loop(); });
}

void BusService::stopServing() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
}

void BusService::run(std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ran = done->get_future();
  {
    std::lock_guard lock(mutex_);
    pending_.push_back([work = std::move(work), done] {
      work();
      done->set_value();
    });
  }
  ran.wait();
}

void BusService::loop() {
  while (!stop_) {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    std::vector<std::function<void()>> due;
    {
      std::lock_guard lock(mutex_);
      due.swap(pending_);
    }
    for (auto& work : due)
      work();
    sd_bus_wait(bus_, 10000);
  }
}

// ---- logind ------------------------------------------------------------------------

namespace {
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
}  // namespace

StandInLogind::StandInLogind(const std::string& address)
    : BusService(address, "org.freedesktop.login1") {
  static const sd_bus_vtable manager[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &StandInLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetSession", "s", "o", &StandInLogind::getSession, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("PrepareForSleep", "b", 0), SD_BUS_VTABLE_END};
  static const sd_bus_vtable session[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("IdleHint", "b", nullptr, offsetof(Hints, idle),
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("IdleSinceHint", "t", nullptr, offsetof(Hints, idleSince),
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("LockedHint", "b", nullptr, offsetof(Hints, locked),
                      SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END};
  sd_bus_add_object_vtable(bus_, nullptr, kPath, kManager, manager, this);
  sd_bus_add_object_vtable(bus_, nullptr, kSessionPath, kSession, session, &hints_);
  startServing();
}

StandInLogind::~StandInLogind() {
  stopServing();
  if (heldEnd_ >= 0)
    ::close(heldEnd_);
}

void StandInLogind::emitPrepareForSleep(bool sleeping) {
  run([this, sleeping] {
    sd_bus_emit_signal(bus_, kPath, kManager, "PrepareForSleep", "b", sleeping ? 1 : 0);
  });
}

std::vector<std::string> StandInLogind::inhibitArgs() {
  std::lock_guard lock(mutex_);
  return args_;
}

bool StandInLogind::inhibitorReleased() {
  std::lock_guard lock(mutex_);
  if (heldEnd_ < 0)
    return false;
  pollfd p{heldEnd_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

void StandInLogind::setHasSession(bool has) {
  hasSession_ = has;
}

void StandInLogind::setIdle(bool idle, std::chrono::system_clock::time_point since) {
  const auto usec =
      std::chrono::duration_cast<std::chrono::microseconds>(since.time_since_epoch()).count();
  run([this, idle, usec] {
    hints_.idle = idle ? 1 : 0;
    hints_.idleSince = static_cast<std::uint64_t>(usec);
    sd_bus_emit_properties_changed(bus_, kSessionPath, kSession, "IdleHint", "IdleSinceHint",
                                   nullptr);
  });
}

void StandInLogind::setLocked(bool locked) {
  run([this, locked] {
    hints_.locked = locked ? 1 : 0;
    sd_bus_emit_properties_changed(bus_, kSessionPath, kSession, "LockedHint", nullptr);
  });
}

int StandInLogind::inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<StandInLogind*>(userdata);
  const char *what, *who, *why, *mode;
  sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return -errno;
  {
    std::lock_guard lock(self->mutex_);
    self->args_ = {what, who, why, mode};
    self->heldEnd_ = fds[0];
  }
  const int r = sd_bus_reply_method_return(m, "h", fds[1]);
  ::close(fds[1]);  // the reply carries its own duplicate
  return r;
}

int StandInLogind::getSession(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<StandInLogind*>(userdata);
  const char* name = nullptr;
  sd_bus_message_read(m, "s", &name);
  if (!self->hasSession_ || std::string(name) != "auto")
    return sd_bus_reply_method_errorf(m, "org.freedesktop.login1.NoSessionForPID",
                                      "Caller does not belong to any known session");
  return sd_bus_reply_method_return(m, "o", kSessionPath);
}

// ---- notifications -----------------------------------------------------------------

StandInNotifications::StandInNotifications(const std::string& address)
    : BusService(address, "org.freedesktop.Notifications") {
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &StandInNotifications::notify,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", vtable, this);
  startServing();
}

StandInNotifications::~StandInNotifications() {
  stopServing();
}

std::vector<StandInNotifications::Notice> StandInNotifications::notices() {
  std::lock_guard lock(mutex_);
  return notices_;
}

int StandInNotifications::notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<StandInNotifications*>(userdata);
  const char *app, *icon, *summary, *body;
  unsigned replaces = 0;
  if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0)
    return -EINVAL;
  std::lock_guard lock(self->mutex_);
  self->notices_.push_back({summary, body});
  return sd_bus_reply_method_return(m, "u", static_cast<unsigned>(self->notices_.size()));
}

}  // namespace parley::test
