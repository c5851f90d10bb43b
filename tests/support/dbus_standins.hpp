#pragma once

// A private D-Bus daemon standing in for the system and session buses, and
// the services Parley talks to on them: logind (an inhibitor lock, the sleep
// signal, one login session whose idle and lock state the test sets) and the
// desktop's notification service (it records what it is asked to show).
// Each service answers on a thread of its own; what a test asks of it is
// done on that thread, between messages, and the call returns once it is.

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace parley::test {

// DBUS_SYSTEM_BUS_ADDRESS (and, when asked, DBUS_SESSION_BUS_ADDRESS) point
// at it for the object's life.
class PrivateBus {
 public:
  explicit PrivateBus(bool alsoSessionBus = false);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

 private:
  TempDir dir_;
  pid_t pid_ = 0;
  std::optional<ScopedEnv> system_, session_;
};

// One named connection served on its own thread.
class BusService {
 public:
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

 protected:
  BusService(const std::string& address, const char* name);
  virtual ~BusService();
  // Call from the constructor once the objects are added, and from the
  // destructor before they go.
  void startServing();
  void stopServing();
  // Runs `work` on the service's thread and returns when it has run.
  void run(std::function<void()> work);

  sd_bus* bus_ = nullptr;

 private:
  void loop();
  std::string name_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::function<void()>> pending_;  // guarded by mutex_
};

// Just enough of logind: Inhibit hands out one end of a pipe (so the test
// sees when the holder closes it), PrepareForSleep is emitted on request,
// and GetSession("auto") finds one session with IdleHint, IdleSinceHint and
// LockedHint, which announce their changes as logind's do.
class StandInLogind : public BusService {
 public:
  explicit StandInLogind(const std::string& address);
  ~StandInLogind() override;

  void emitPrepareForSleep(bool sleeping);
  std::vector<std::string> inhibitArgs();
  // True once every writer of the handed-out pipe has closed it.
  bool inhibitorReleased();

  // Whether GetSession finds a session (it does at first).
  void setHasSession(bool has);
  void setIdle(bool idle, std::chrono::system_clock::time_point since);
  void setLocked(bool locked);

  static constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_32";

 private:
  static int inhibit(sd_bus_message* m, void* userdata, sd_bus_error*);
  static int getSession(sd_bus_message* m, void* userdata, sd_bus_error*);

  // Read by sd-bus at their offsets: "b" is an int, "t" a 64-bit count.
  struct Hints {
    int idle = 0;
    std::uint64_t idleSince = 0;
    int locked = 0;
  };
  Hints hints_;  // the service's thread only
  std::atomic<bool> hasSession_{true};
  std::mutex mutex_;
  std::vector<std::string> args_;
  int heldEnd_ = -1;
};

// org.freedesktop.Notifications: records each Notify.
class StandInNotifications : public BusService {
 public:
  explicit StandInNotifications(const std::string& address);
  ~StandInNotifications() override;

  struct Notice {
    std::string summary, body;
  };
  std::vector<Notice> notices();

 private:
  static int notify(sd_bus_message* m, void* userdata, sd_bus_error*);
  std::mutex mutex_;
  std::vector<Notice> notices_;
};

}  // namespace parley::test
