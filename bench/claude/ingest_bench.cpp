// Hook lines per second through the socket into decoded payloads: what the
// listener sustains when many hooks fire at once.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench_support.hpp"
#include "protocol/hook_payload.hpp"

namespace parley::bench {
namespace {

using Clock = std::chrono::steady_clock;

int connectTo(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("connect failed");
  return fd;
}

void sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0)
      throw std::runtime_error("send failed");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string summaryRate(const char* what, double linesPerSecond) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "  %-34s %10.0f lines/s  (target > 50000)  %s", what,
                linesPerSecond, linesPerSecond > 50000 ? "met" : "MISSED");
  return buffer;
}

void BM_IngestOneStream(benchmark::State& state) {
  constexpr int kLines = 20000;
  const auto captured = capturedHookLines();
  std::string batch;
  for (int i = 0; i < kLines; ++i)
    batch += captured[i % captured.size()] + "\n";

  CountingListener listener;
  std::uint64_t sent = 0;
  Clock::duration busy{};
  for (auto _ : state) {
    const auto start = Clock::now();
    const int fd = connectTo(listener.socketPath());
    sendAll(fd, batch);
    ::close(fd);
    sent += kLines;
    if (!listener.waitForPayloads(sent))
      state.SkipWithError("lines went missing");
    busy += Clock::now() - start;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * batch.size()));
  addSummaryLine("hook ingest, socket to decoded payload:");
  addSummaryLine(
      summaryRate("one connection, lines streamed",
                  static_cast<double>(sent) / std::chrono::duration<double>(busy).count()));
}
BENCHMARK(BM_IngestOneStream)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// As relays send: one connection per line, from several writers at once.
void BM_IngestConnectionPerLine(benchmark::State& state) {
  constexpr int kWriters = 4;
  constexpr int kLinesPerWriter = 1000;
  const auto captured = capturedHookLines();
  CountingListener listener;
  std::uint64_t sent = 0;
  Clock::duration busy{};
  for (auto _ : state) {
    const auto start = Clock::now();
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kLinesPerWriter; ++i) {
          const int fd = connectTo(listener.socketPath());
          sendAll(fd, captured[(w + i) % captured.size()] + "\n");
          ::close(fd);
        }
      });
    }
    for (auto& t : writers)
      t.join();
    sent += kWriters * kLinesPerWriter;
    if (!listener.waitForPayloads(sent))
      state.SkipWithError("lines went missing");
    busy += Clock::now() - start;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  addSummaryLine(
      summaryRate("one connection per line, 4 writers",
                  static_cast<double>(sent) / std::chrono::duration<double>(busy).count()));
}
BENCHMARK(BM_IngestConnectionPerLine)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

// The decoding alone, for scale: how much of the ingest cost is the socket.
void BM_HookPayloadDecode(benchmark::State& state) {
  const auto captured = capturedHookLines();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(protocol::HookPayload::decode(captured[i++ % captured.size()]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HookPayloadDecode);

}  // namespace
}  // namespace parley::bench
