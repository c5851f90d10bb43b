#include "desktop/logind.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "support/dbus_standins.hpp"
#include "support/test_support.hpp"

namespace parley::desktop {
namespace {

using namespace std::chrono_literals;

using test::PrivateBus;
using test::StandInLogind;

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
  LogindPresenceWatcher presence(io.get_executor());
  EXPECT_THROW(presence.start(), std::runtime_error);
}

// The watcher on a context the test runs until what it waits for arrives.
struct PresenceSeen {
  boost::asio::io_context io;
  LogindPresenceWatcher watcher{io.get_executor()};
  std::vector<Presence> seen;
  std::vector<std::string> unavailable;

  PresenceSeen() {
    watcher.onChange = [this](const Presence& p) { seen.push_back(p); };
    watcher.onUnavailable = [this](const std::string& why) { unavailable.push_back(why); };
    watcher.start();
  }
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
      io.run_for(20ms);
    return done();
  }
};

TEST(Logind, PresenceIsReadThenFollowedThroughIdleAndLock) {
  PrivateBus bus;
  StandInLogind logind(bus.address());
  // Idle before Parley looked: the first reading already says so, with
  // logind's time (to the microsecond).
  const auto since = std::chrono::system_clock::now() - 5min;
  logind.setIdle(true, since);
  PresenceSeen p;
  ASSERT_TRUE(p.runUntil([&] { return p.seen.size() == 1; }));
  EXPECT_TRUE(p.seen[0].idle);
  EXPECT_FALSE(p.seen[0].locked);
  EXPECT_LT(std::chrono::abs(p.seen[0].idleSince - since), 1ms);

  logind.setLocked(true);
  ASSERT_TRUE(p.runUntil([&] { return p.seen.size() == 2; }));
  EXPECT_TRUE(p.seen[1].locked);
  logind.setLocked(false);
  logind.setIdle(false, {});
  ASSERT_TRUE(p.runUntil([&] { return !p.seen.back().idle && !p.seen.back().locked; }));
  // A desktop that gives no time of its own: idle from when it was seen.
  const auto before = std::chrono::system_clock::now();
  logind.setIdle(true, std::chrono::system_clock::time_point{});
  ASSERT_TRUE(p.runUntil([&] { return p.seen.back().idle; }));
  EXPECT_GE(p.seen.back().idleSince, before);
  EXPECT_TRUE(p.unavailable.empty());
}

TEST(Logind, WithoutALoginSessionPresenceSaysWhyOnce) {
  PrivateBus bus;
  StandInLogind logind(bus.address());
  logind.setHasSession(false);
  PresenceSeen p;
  ASSERT_TRUE(p.runUntil([&] { return !p.unavailable.empty(); }));
  EXPECT_NE(p.unavailable[0].find("no login session"), std::string::npos) << p.unavailable[0];
  EXPECT_NE(p.unavailable[0].find("Caller does not belong"), std::string::npos);
  EXPECT_TRUE(p.seen.empty());
}

}  // namespace
}  // namespace parley::desktop
