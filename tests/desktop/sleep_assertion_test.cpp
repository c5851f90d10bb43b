#include "desktop/sleep_assertion.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <stdexcept>

namespace parley::desktop {
namespace {

using namespace std::chrono_literals;

struct Counts {
  int takes = 0;
  int drops = 0;
  int failuresLeft = 0;
};

// The platform inhibitor's contract is tested against real logind-over-D-Bus
// elsewhere; here only the bookkeeping around it matters.
class CountingInhibitor : public PowerInhibitor {
 public:
  explicit CountingInhibitor(Counts& counts) : counts_(counts) {}
  void take() override {
    if (counts_.failuresLeft > 0) {
      --counts_.failuresLeft;
      throw std::runtime_error("no system bus");
    }
    ++counts_.takes;
  }
  void drop() override { ++counts_.drops; }

 private:
  Counts& counts_;
};

struct Fixture {
  explicit Fixture(std::chrono::steady_clock::duration idle = 1h)
      : assertion(io.get_executor(), std::make_unique<CountingInhibitor>(counts), idle) {
    assertion.onLog = [this](const std::string& line) { logs.push_back(line); };
    assertion.onUnavailable = [this](const std::string& why) { unavailable.push_back(why); };
  }
  boost::asio::io_context io;
  Counts counts;
  SleepAssertion assertion;
  std::vector<std::string> logs, unavailable;
};

TEST(SleepAssertion, RepeatedActivityTakesTheInhibitorOnce) {
  Fixture f;
  for (int i = 0; i < 5; ++i)
    f.assertion.acquire();
  EXPECT_TRUE(f.assertion.isHeld());
  EXPECT_TRUE(f.assertion.heldSince().has_value());
  EXPECT_EQ(f.counts.takes, 1);
  EXPECT_EQ(f.logs, std::vector<std::string>{"sleep assertion taken"});
}

TEST(SleepAssertion, ReleasingTwiceReleasesAndLogsOnce) {
  Fixture f;
  f.assertion.acquire();
  f.assertion.release("peer disconnected");
  f.assertion.release("system sleeping");
  EXPECT_FALSE(f.assertion.isHeld());
  EXPECT_EQ(f.counts.drops, 1);
  EXPECT_EQ(f.logs.back(), "sleep assertion released (peer disconnected)");
  EXPECT_EQ(f.logs.size(), 2u);
}

TEST(SleepAssertion, AQuietIntervalReleasesWithTheIdleReason) {
  Fixture f(1s);
  f.assertion.acquire();
  f.io.run_for(3s);  // the idle timer is the only work; run returns once it fired
  EXPECT_FALSE(f.assertion.isHeld());
  EXPECT_EQ(f.logs.back(), "sleep assertion released (idle 1s)");
}

TEST(SleepAssertion, ActivityPushesTheIdleDeadlineForward) {
  Fixture f(200ms);
  f.assertion.acquire();
  // Keep acquiring more often than the interval: it must stay held throughout.
  for (int i = 0; i < 6; ++i) {
    f.io.run_for(100ms);
    EXPECT_TRUE(f.assertion.isHeld()) << "tick " << i;
    f.assertion.acquire();
  }
  EXPECT_EQ(f.counts.takes, 1);
  f.io.run_for(1s);
  EXPECT_FALSE(f.assertion.isHeld());
}

TEST(SleepAssertion, UnavailableInhibitorIsReportedOnceAndRetried) {
  Fixture f;
  f.counts.failuresLeft = 3;
  f.assertion.acquire();
  f.assertion.acquire();
  f.assertion.acquire();
  EXPECT_FALSE(f.assertion.isHeld());
  EXPECT_EQ(f.unavailable, std::vector<std::string>{"no system bus"});
  f.assertion.acquire();  // the platform came back
  EXPECT_TRUE(f.assertion.isHeld());
}

TEST(SleepAssertion, DestructionReleasesAHeldInhibitor) {
  Counts counts;
  {
    boost::asio::io_context io;
    SleepAssertion a(io.get_executor(), std::make_unique<CountingInhibitor>(counts), 10ms);
    a.acquire();
    // The pending idle timer must not fire into a destroyed object.
  }
  EXPECT_EQ(counts.drops, 1);
}

}  // namespace
}  // namespace parley::desktop
