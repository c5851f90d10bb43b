// Soak runs against the real application, outside the test suite: hook
// events at a sustained rate through real relays, floods from outside input,
// phone reconnects and bare connects. Each prints one line of figures. The
// length of the whole run is SOAK_SECONDS (default 60); every scenario is
// also bounded in count.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "phone_drain.hpp"
#include "protocol/envelope.hpp"
#include "soak_bridge.hpp"
#include "soak_events.hpp"

namespace parley::soak {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// 1. Hook events at a target rate for `duration`: relay processes on several
// threads as fast as the machine starts them, and lines written straight to
// the hook socket for whatever rate the relays do not reach.
void hookRate(Bridge& bridge, const Events& events, Seconds duration, int rate) {
  PhoneDrain phone(bridge.port(), bridge.token());
  phone.countToolStarts("soak-");
  resetPeak(bridge.pid());
  const std::uint64_t target =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(duration.count() * rate), 2'000'000);
  std::atomic<std::uint64_t> next{0};
  std::atomic<std::uint64_t> viaRelay{0};
  std::atomic<std::uint64_t> relayFailed{0};
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::vector<std::thread> relays;
  for (int t = 0; t < 4; ++t) {
    relays.emplace_back([&] {
      const auto env = bridge.relayEnvironment();
      while (!done) {
        const std::uint64_t id = next++;
        if (id >= target)
          return;
        const pid_t pid = spawnWithInput({bridge.relayPath()}, env,
                                         events.preToolUse("soak-" + std::to_string(id), false));
        if (waitExit(pid) != 0)
          ++relayFailed;
        ++viaRelay;
      }
    });
  }
  std::uint64_t direct = 0;
  std::uint64_t directFailed = 0;
  while (true) {
    const double elapsed = Seconds(Clock::now() - start).count();
    if (elapsed >= duration.count() || next >= target)
      break;
    const auto due = static_cast<std::uint64_t>(elapsed * rate);
    std::string batch;
    int lines = 0;
    while (next < due && lines < 200) {
      batch += events.preToolUse("soak-" + std::to_string(next++), true);
      ++lines;
    }
    if (lines > 0) {
      if (bridge.sendLines(batch))
        direct += static_cast<std::uint64_t>(lines);
      else
        directFailed += static_cast<std::uint64_t>(lines);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  done = true;
  for (auto& t : relays)
    t.join();
  const double sendSeconds = Seconds(Clock::now() - start).count();
  const std::uint64_t sent = std::min<std::uint64_t>(next.load(), target);
  const std::uint64_t delivered = sent - relayFailed - directFailed;
  // Each PreToolUse makes one tool_started; session lists are merged under a
  // flood, so they are counted but not expected one per event. What the link
  // sheds under backlog (tool_started first) it reports in `dropped`. Wait
  // until every tool_started is accounted for, or nothing has moved for
  // three seconds.
  const auto accounted = [&] { return phone.toolStarts() + phone.shed(); };
  std::uint64_t seen = accounted();
  auto moved = Clock::now();
  while (accounted() < delivered && Clock::now() - moved < std::chrono::seconds(3)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (accounted() != seen) {
      seen = accounted();
      moved = Clock::now();
    }
  }
  const std::uint64_t received = phone.toolStarts();
  const Memory memory = memoryOf(bridge.pid());
  report(
      "hook events: %llu sent in %.1f s (%.0f/s; %llu by %s relay processes, %llu as lines "
      "on the hook socket), %llu tool_started and %llu session_update received by the "
      "phone, %llu messages shed and reported as dropped, tool_started lost (neither "
      "received nor reported) %lld, relay failures %llu, peak RSS %.1f MiB",
      static_cast<unsigned long long>(sent), sendSeconds, static_cast<double>(sent) / sendSeconds,
      static_cast<unsigned long long>(viaRelay.load()), "4 concurrent",
      static_cast<unsigned long long>(direct), static_cast<unsigned long long>(received),
      static_cast<unsigned long long>(phone.sessionUpdates()),
      static_cast<unsigned long long>(phone.shed()),
      static_cast<long long>(sent) - static_cast<long long>(accounted()),
      static_cast<unsigned long long>(relayFailed.load()), mib(memory.peakKiB));
}

// Start, peak and final RSS around a flood; final is read once the
// application has had `settle` to let go of what the flood made it hold.
template <class Flood>
void flood(Bridge& bridge, const char* name, Seconds settle, Flood run) {
  const Memory before = memoryOf(bridge.pid());
  resetPeak(bridge.pid());
  const std::string figures = run();
  std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::milliseconds>(settle));
  const Memory after = memoryOf(bridge.pid());
  report("flood of %s: %s; RSS start %.1f MiB, peak %.1f MiB, final %.1f MiB, running %s", name,
         figures.c_str(), mib(before.rssKiB), mib(after.peakKiB), mib(after.rssKiB),
         bridge.alive() ? "yes" : "NO");
}

std::string unknownSessions(Bridge& bridge, const Events& events, int count) {
  PhoneDrain phone(bridge.port(), bridge.token());
  int failed = 0;
  for (int i = 0; i < count; i += 100) {
    std::string batch;
    for (int j = i; j < std::min(count, i + 100); ++j)
      batch += events.preToolUse("unknown-" + std::to_string(j), true,
                                 "00000000-0000-4000-8000-" + std::to_string(100000000000 + j));
    failed += bridge.sendLines(batch) ? 0 : 1;
  }
  pollFor([&] { return phone.messages() >= static_cast<std::uint64_t>(count); },
          std::chrono::seconds(10));
  return std::to_string(count) + " distinct session ids, " + std::to_string(failed) +
         " batches refused, phone got " + std::to_string(phone.messages()) + " messages, " +
         (phone.connected() ? "still connected" : "disconnected: " + phone.ending());
}

std::string largeReplies(Bridge& bridge, const Events& events, int count) {
  PhoneDrain phone(bridge.port(), bridge.token());
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    std::string text(1024 * 1024, 'a' + static_cast<char>(i % 26));
    failed += bridge.sendLines(events.stop("soak-large", std::move(text))) ? 0 : 1;
  }
  pollFor([&] { return phone.messages() >= static_cast<std::uint64_t>(count); },
          std::chrono::seconds(10));
  return std::to_string(count) + " Stop events of 1 MiB, " + std::to_string(failed) +
         " refused, phone got " + std::to_string(phone.messages()) + " messages, " +
         (phone.connected() ? "still connected" : "disconnected: " + phone.ending());
}

// Four local writers as fast as they can, lines of about 4 KiB: the hook
// socket must make them wait instead of holding what they send.
std::string hookWriters(Bridge& bridge, const Events& events, Seconds duration) {
  PhoneDrain phone(bridge.port(), bridge.token());
  constexpr int kLinesPerConnection = 16;
  std::string burst;
  for (int i = 0; i < kLinesPerConnection; ++i)
    burst += events.stop("soak-writers", std::string(4000, 'w'));
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::uint64_t> refused{0};
  const auto start = Clock::now();
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      while (Seconds(Clock::now() - start) < duration)
        (bridge.sendLines(burst) ? written : refused) += kLinesPerConnection;
    });
  }
  for (auto& t : writers)
    t.join();
  const double seconds = Seconds(Clock::now() - start).count();
  return std::to_string(written.load()) + " lines of 4 KiB from 4 writers in " +
         std::to_string(static_cast<int>(seconds)) + " s (" +
         std::to_string(static_cast<std::uint64_t>(static_cast<double>(written) / seconds)) +
         "/s), " + std::to_string(refused.load()) + " refused, phone got " +
         std::to_string(phone.messages()) + " messages, " +
         (phone.connected() ? "still connected" : "disconnected: " + phone.ending());
}

std::string unauthenticatedFrames(Bridge& bridge, int count, std::size_t frameBytes) {
  std::atomic<int> next{0};
  std::atomic<int> refused{0};
  std::atomic<int> accepted{0};
  const std::string frame(frameBytes, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      while (next++ < count) {
        try {
          asio::io_context io;
          beast::websocket::stream<beast::tcp_stream> ws(io);
          beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(10));
          beast::get_lowest_layer(ws).connect(
              asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), bridge.port()));
          ws.handshake("127.0.0.1", "/");
          ws.text(true);
          ws.write(asio::buffer(frame));
          beast::flat_buffer buffer;
          ws.read(buffer);
          ++accepted;
        } catch (const std::exception&) {
          ++refused;
        }
      }
    });
  }
  for (auto& t : threads)
    t.join();
  return std::to_string(count) + " bare connections each sending " +
         std::to_string(frameBytes / 1024) + " KiB without a hello, " +
         std::to_string(refused.load()) + " closed or refused, " + std::to_string(accepted.load()) +
         " answered";
}

}  // namespace
}  // namespace parley::soak

int main() {
  using namespace parley::soak;
  const char* configured = std::getenv("SOAK_SECONDS");
  const double total = configured ? std::max(5.0, std::atof(configured)) : 60.0;
  // The reconnect scenario's own time, for a run of a thousand reconnects
  // (about five minutes) without lengthening the others.
  const char* reconnecting = std::getenv("SOAK_RECONNECT_SECONDS");
  const double reconnectSeconds =
      reconnecting ? std::max(1.0, std::atof(reconnecting)) : total * 0.3;
  try {
    Bridge bridge;
    const Events events;
    std::cout << "soak: parley run pid " << bridge.pid() << " on port " << bridge.port() << ", "
              << total << " s" << std::endl;
    hookRate(bridge, events, Seconds(total * 0.4), 10000);
    // Before the floods: the unknown sessions stay listed for ten minutes,
    // making every session list a hundred times its usual size, and a phone
    // reading those measures its own decoder, not the link's promise.
    const bool delivered = reconnects(bridge, events, 1000, Seconds(reconnectSeconds));
    flood(bridge, "unknown sessions", Seconds(3),
          [&] { return unknownSessions(bridge, events, 5000); });
    flood(bridge, "large replies", Seconds(3), [&] { return largeReplies(bridge, events, 300); });
    flood(bridge, "hook writers", Seconds(5),
          [&] { return hookWriters(bridge, events, Seconds(std::min(20.0, total * 0.15))); });
    flood(bridge, "unauthenticated large frames", Seconds(3),
          [&] { return unauthenticatedFrames(bridge, 600, 4 * 1024 * 1024 - 1024); });
    bareConnects(bridge, Seconds(total * 0.15));
    savingFiles(bridge);
    if (!bridge.alive()) {
      std::cout << "soak: parley run is no longer running\n" << bridge.log();
      return 1;
    }
    if (!delivered) {
      std::cout << "soak: the phone was short of messages it was not told of\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "soak failed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
