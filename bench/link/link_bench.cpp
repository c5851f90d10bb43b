// The phone link under load, over real loopback sockets: how long a published
// message takes to reach a connected phone, how many messages per second a
// phone that keeps up receives, and how much memory the server holds after
// 100,000 broadcasts to a phone that never reads.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "link/websocket_server.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using namespace parley;
using namespace std::chrono;
using Server = link::WebSocketServer;

double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// A server on a two-thread pool (as in the application) with one paired
// device, and a blocking Beast client.
class Rig {
 public:
  Rig() : work_(asio::make_work_guard(io_)) {
    char pattern[] = "/tmp/parley-bench-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    store_.emplace("svc", dir_ / "devices.json", link::Preferences(dir_ / "preferences.json"));
    token_ = store_->addDevice("bench", "BENCH");
    for (int i = 0; i < 2; ++i)
      threads_.emplace_back([this] { io_.run(); });

    Server::Configuration configuration;
    configuration.port = 0;
    configuration.bindAddress = "127.0.0.1";
    server_.emplace(io_.get_executor(), configuration, *store_);
    server_->setOnStatusChange([this](const Server::Status& status) {
      if (const auto* listening = std::get_if<Server::Listening>(&status)) {
        std::lock_guard lock(mutex_);
        port_ = listening->port;
        changed_.notify_all();
      }
    });
    server_->setOnPeerEvent([this](const Server::PeerEvent& event) {
      if (const auto* gone = std::get_if<Server::Disconnected>(&event)) {
        std::lock_guard lock(mutex_);
        disconnectReason_ = gone->reason;
      }
    });
    server_->start();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return port_ != 0; });
  }

  ~Rig() {
    client_.reset();
    server_.reset();
    work_.reset();
    for (auto& t : threads_)
      t.join();
    std::filesystem::remove_all(dir_);
  }

  // Connects, says hello and reads the HelloAck.
  void connect() {
    client_.emplace(clientIo_);
    client_->next_layer().connect({asio::ip::make_address("127.0.0.1"), port_});
    client_->handshake("127.0.0.1", "/");
    const protocol::ClientEnvelope hello(system_clock::now(),
                                         protocol::Hello{.token = token_, .deviceID = "bench"});
    client_->write(asio::buffer(hello.encode()));
    read();
  }

  std::string read() {
    buffer_.consume(buffer_.size());
    client_->read(buffer_);
    return beast::buffers_to_string(buffer_.data());
  }

  Server& server() { return *server_; }
  std::string disconnectReason() {
    std::lock_guard lock(mutex_);
    return disconnectReason_;
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
  std::filesystem::path dir_;
  std::optional<link::PairingStore> store_;
  std::string token_;
  std::optional<Server> server_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint16_t port_ = 0;
  std::string disconnectReason_;
  asio::io_context clientIo_;
  std::optional<websocket::stream<asio::ip::tcp::socket>> client_;
  beast::flat_buffer buffer_;
};

// A turn-end narration of typical length: about 600 bytes on the wire.
protocol::ServerMessage assistantText(int n) {
  return protocol::AssistantText{
      .sessionID = "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e0",
      .messageUUID = std::to_string(n),
      .narration = {.text = std::string(250, 't'), .speech = std::string(250, 's'), .speak = true},
      .final = true};
}

protocol::ServerMessage toolStarted(int n) {
  return protocol::ToolStarted{.sessionID = "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e0",
                               .toolUseID = "toolu_" + std::to_string(n),
                               .toolName = "Bash",
                               .narration = {.text = std::string(250, 't'), .speak = false}};
}

void BM_PublishToReceiveLatency(benchmark::State& state) {
  Rig rig;
  rig.connect();
  std::vector<double> micros;
  int n = 0;
  for (auto _ : state) {
    const auto start = steady_clock::now();
    rig.server().publish(assistantText(n++));
    benchmark::DoNotOptimize(rig.read());
    micros.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_PublishToReceiveLatency)->Iterations(5000)->UseRealTime();

// A phone that keeps up: the publisher stays at most `window` messages ahead
// of it, as the application's event rate would, so nothing is shed and the
// backlog limit never applies.
void BM_BroadcastRate(benchmark::State& state) {
  Rig rig;
  rig.connect();
  const int window = 64;
  std::int64_t received = 0;
  for (auto _ : state) {
    const int total = 20000;
    int published = 0;
    int got = 0;
    while (got < total) {
      while (published < total && published - got < window)
        rig.server().publish(assistantText(published++));
      benchmark::DoNotOptimize(rig.read());
      ++got;
    }
    received += got;
  }
  state.counters["msgs_per_s"] =
      benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BroadcastRate)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// 100,000 broadcasts to a phone that authenticated and then never reads.
// range(0) = 1: only sheddable progress messages (the phone stays connected
// and the queue sheds); 0: half of them unsheddable turn texts (the phone is
// cut off at the backlog limit).
void BM_MemoryWithANonReadingPhone(benchmark::State& state) {
  const bool sheddableOnly = state.range(0) == 1;
  for (auto _ : state) {
    Rig rig;
    rig.connect();
    const double before = residentMiB();
    const int total = 100000;
    // Paced in bursts of 1000, as events arrive in the application: what is
    // measured is what the server keeps, not a backlog of posted calls.
    for (int i = 0; i < total; ++i) {
      rig.server().publish(sheddableOnly || i % 2 ? toolStarted(i) : assistantText(i));
      if (i % 1000 == 999) {
        while (rig.server().latestSeq() < static_cast<std::uint64_t>(i + 1))
          std::this_thread::yield();
      }
    }
    const double after = residentMiB();
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_after_MiB"] = after;
    state.counters["still_connected"] = rig.server().hasAuthenticatedPeer() ? 1 : 0;
    std::printf("  %s: RSS before %.1f MiB, after 100000 broadcasts %.1f MiB; %s\n",
                sheddableOnly ? "sheddable only" : "half unsheddable", before, after,
                rig.server().hasAuthenticatedPeer()
                    ? "phone still connected"
                    : ("phone cut off: " + rig.disconnectReason()).c_str());
  }
}
BENCHMARK(BM_MemoryWithANonReadingPhone)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
