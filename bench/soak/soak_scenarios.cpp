// A phone that must stay served while strangers keep connecting to the port.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>

#include "soak_events.hpp"
#include "soak_phone.hpp"

namespace parley::soak {

using Clock = std::chrono::steady_clock;

void bareConnects(Bridge& bridge, Seconds duration) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> connects{0};
  std::thread stranger([&] {
    // Up to sixteen held open at once, each sending nothing; the oldest is
    // closed to make room, so some end by our close and some by the
    // application's deadline.
    std::deque<int> open;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(bridge.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (!stop) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 &&
          ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        ++connects;
        open.push_back(fd);
      } else if (fd >= 0) {
        ::close(fd);
      }
      if (open.size() > 16) {
        ::close(open.front());
        open.pop_front();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (const int fd : open)
      ::close(fd);
  });

  int pings = 0, pongs = 0;
  double maxDelay = 0;
  std::string ending = "still connected";
  const auto start = Clock::now();
  try {
    Phone phone(bridge.port());
    phone.send(protocol::Hello{.token = bridge.token(), .deviceID = "phone", .appVersion = "1.0"});
    while (!std::holds_alternative<protocol::HelloAck>(phone.next().message)) {
    }
    while (Seconds(Clock::now() - start) < duration) {
      const std::string nonce = "p" + std::to_string(pings++);
      const auto sent = Clock::now();
      phone.send(protocol::Ping{.nonce = nonce});
      while (!isPong(phone.next(), nonce)) {
      }
      ++pongs;
      maxDelay = std::max(maxDelay,
                          std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  } catch (const std::exception& e) {
    ending = e.what();
  }
  stop = true;
  stranger.join();
  report(
      "phone under bare connects: %llu bare TCP connects in %.1f s, %d pings sent, %d pongs "
      "received, max pong delay %.1f ms, phone %s",
      static_cast<unsigned long long>(connects.load()), Seconds(Clock::now() - start).count(),
      pings, pongs, maxDelay, ending.c_str());
}

}  // namespace parley::soak
