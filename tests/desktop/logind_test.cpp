#include "desktop/logind.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <mutex>
#include <thread>

#include "support/test_support.hpp"

extern char** environ;

namespace parley::desktop {
namespace {

using namespace std::chrono_literals;

// A private D-Bus daemon standing in for the system bus.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string address = "unix:path=" + (dir_ / "bus").string();
    std::vector<std::string> args{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                  "--address=" + address};
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start dbus-daemon");
    if (!test::waitUntil([&] { return std::filesystem::exists(dir_ / "bus"); }))
      throw std::runtime_error("dbus-daemon did not come up");
    env_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address);
  }
  ~PrivateBus() {
    env_.reset();
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

 private:
  test::TempDir dir_;
  pid_t pid_ = 0;
  std::optional<test::ScopedEnv> env_;
};

// Just enough of logind's Manager object: Inhibit hands out one end of a
// pipe (so the test sees when the holder closes it), and PrepareForSleep can
// be emitted on request.
class StandInLogind {
 public:
  explicit StandInLogind(const std::string& address) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0)
      throw std::runtime_error("stand-in cannot connect");
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &StandInLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("PrepareForSleep", "b", 0), SD_BUS_VTABLE_END};
    sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", vtable, this);
    if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0)
      throw std::runtime_error("stand-in cannot own the name");
    thread_ = std::thread([this] { loop(); });
  }

  ~StandInLogind() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    if (heldEnd_ >= 0)
      ::close(heldEnd_);
  }

  void emitPrepareForSleep(bool sleeping) {
    std::lock_guard lock(mutex_);
    pending_.push_back(sleeping ? 1 : 0);
  }

  std::vector<std::string> inhibitArgs() {
    std::lock_guard lock(mutex_);
    return args_;
  }

  // True once every writer of the handed-out pipe has closed it.
  bool inhibitorReleased() {
    std::lock_guard lock(mutex_);
    if (heldEnd_ < 0)
      return false;
    pollfd p{heldEnd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
  }

 private:
  static int inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
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

  void loop() {
    while (!stop_) {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      std::vector<int> due;
      {
        std::lock_guard lock(mutex_);
        due.swap(pending_);
      }
      for (const int p : due)
        sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", p);
      sd_bus_wait(bus_, 10000);
    }
  }

  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> args_;
  int heldEnd_ = -1;
  std::vector<int> pending_;  // guarded by mutex_
};

TEST(Logind, InhibitorLockIsHeldUntilDropped) {
  PrivateBus bus;
  StandInLogind logind(bus.address());
  LogindInhibitor inhibitor;
  inhibitor.take();
  EXPECT_EQ(logind.inhibitArgs(),
            (std::vector<std::string>{"idle:sleep", "Parley", "Parley session active", "block"}));
  EXPECT_FALSE(logind.inhibitorReleased());
  inhibitor.drop();
  EXPECT_TRUE(test::waitUntil([&] { return logind.inhibitorReleased(); }));
}

TEST(Logind, SleepAndWakeSignalsReachTheWatcher) {
  PrivateBus bus;
  StandInLogind logind(bus.address());
  boost::asio::io_context io;
  LogindSleepWatcher watcher(io.get_executor());
  std::vector<std::string> seen;
  watcher.onWillSleep = [&] { seen.push_back("sleep"); };
  watcher.onDidWake = [&] { seen.push_back("wake"); };
  watcher.start();
  logind.emitPrepareForSleep(true);
  logind.emitPrepareForSleep(false);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline)
    io.run_for(20ms);
  EXPECT_EQ(seen, (std::vector<std::string>{"sleep", "wake"}));
}

TEST(Logind, WithoutASystemBusBothSayWhy) {
  test::TempDir dir;
  test::ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir / "absent").string());
  LogindInhibitor inhibitor;
  try {
    inhibitor.take();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("system bus"), std::string::npos) << e.what();
  }
  boost::asio::io_context io;
  LogindSleepWatcher watcher(io.get_executor());
  EXPECT_THROW(watcher.start(), std::runtime_error);
}

}  // namespace
}  // namespace parley::desktop
