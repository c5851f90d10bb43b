// The connection runs: phones that keep reconnecting, and a phone that must
// stay served while strangers keep connecting to the port.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <optional>
#include <thread>

#include "protocol/envelope.hpp"
#include "soak_events.hpp"

namespace parley::soak {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using Clock = std::chrono::steady_clock;

// A synchronous phone; every read has a deadline, and a missed deadline
// ends the connection (the caller counts it).
class Phone {
 public:
  explicit Phone(std::uint16_t port) : ws_(io_) {
    beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
    beast::get_lowest_layer(ws_).connect(
        asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws_.read_message_max(64 * 1024 * 1024);
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
    ws_.text(true);
  }

  void send(const protocol::ClientMessage& message) {
    beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
    ws_.write(
        asio::buffer(protocol::ClientEnvelope(std::chrono::system_clock::now(), message).encode()));
  }

  protocol::ServerEnvelope next() {
    beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(30));
    ws_.read(buffer_);
    const std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return protocol::ServerEnvelope::decode(text);
  }

 private:
  asio::io_context io_;
  beast::websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
};

bool isPong(const protocol::ServerEnvelope& envelope, const std::string& nonce) {
  const auto* pong = std::get_if<protocol::Pong>(&envelope.message);
  return pong != nullptr && pong->echo == nonce;
}

}  // namespace

void reconnects(Bridge& bridge, const Events& events, int count, Seconds budget) {
  int exact = 0, gaps = 0, mismatches = 0, failures = 0, done = 0;
  std::uint64_t replayed = 0, away = 0;
  std::string firstMismatch;
  std::optional<std::uint64_t> lastSeq;
  const auto start = Clock::now();
  for (int i = 0; i < count && Seconds(Clock::now() - start) < budget; ++i) {
    // Every hundredth absence outlasts the replay: each event is two
    // messages, and the replay keeps two thousand at most.
    const int missed = i % 100 == 50 ? 1200 : i % 3;
    for (int sent = 0; sent < missed; sent += 200) {
      std::string batch;
      for (int j = sent; j < std::min(missed, sent + 200); ++j)
        batch += events.preToolUse("away-" + std::to_string(away++), true);
      bridge.sendLines(batch);
    }
    if (missed > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(missed > 100 ? 500 : 5));
    try {
      Phone phone(bridge.port());
      phone.send(protocol::Hello{
          .token = bridge.token(), .deviceID = "phone", .appVersion = "1.0", .lastSeq = lastSeq});
      protocol::ServerEnvelope ack = phone.next();
      while (!std::holds_alternative<protocol::HelloAck>(ack.message))
        ack = phone.next();
      const auto& hello = std::get<protocol::HelloAck>(ack.message);
      std::uint64_t expected = ack.seq + 1;
      if (lastSeq && !hello.gap) {
        ++exact;
        expected = *lastSeq + 1;
        if (hello.resumedFromSeq != *lastSeq && firstMismatch.empty())
          firstMismatch = "resumed from " + std::to_string(hello.resumedFromSeq) + ", asked " +
                          std::to_string(*lastSeq);
        mismatches += hello.resumedFromSeq != *lastSeq;
      } else if (lastSeq) {
        ++gaps;
      }
      const std::string nonce = "r" + std::to_string(i);
      phone.send(protocol::Ping{.nonce = nonce});
      bool contiguous = true;
      for (auto envelope = phone.next(); !isPong(envelope, nonce); envelope = phone.next()) {
        if (envelope.seq != expected && contiguous) {
          contiguous = false;
          if (firstMismatch.empty())
            firstMismatch = "seq " + std::to_string(envelope.seq) + " where " +
                            std::to_string(expected) + " was due";
        }
        expected = envelope.seq + 1;
        if (lastSeq && !hello.gap && envelope.seq <= ack.seq)
          ++replayed;
      }
      if (expected <= ack.seq) {
        contiguous = false;
        if (firstMismatch.empty())
          firstMismatch = "replay ended at " + std::to_string(expected - 1) + " before " +
                          std::to_string(ack.seq);
      }
      mismatches += contiguous ? 0 : 1;
      lastSeq = expected - 1;
      ++done;
    } catch (const std::exception& e) {
      ++failures;
      if (firstMismatch.empty())
        firstMismatch = e.what();
    }
  }
  report(
      "phone reconnects: %d in %.1f s with hello lastSeq, %d exact replays (%llu messages "
      "replayed), %d reported gaps, %d mismatches, %d failed connections%s%s",
      done, Seconds(Clock::now() - start).count(), exact, static_cast<unsigned long long>(replayed),
      gaps, mismatches, failures, firstMismatch.empty() ? "" : "; first: ", firstMismatch.c_str());
}

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
