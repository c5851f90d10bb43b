// Envelope encode and decode throughput for the two messages the phone link
// sends most: the full session list after every hook event, and pongs.

#include <benchmark/benchmark.h>

#include "protocol/envelope.hpp"

namespace {

using namespace parley::protocol;
using namespace std::chrono;

ServerEnvelope sessionUpdate() {
  SessionUpdate update;
  for (int i = 0; i < 10; ++i) {
    SessionDescriptor d;
    d.sessionID = "993ca02b-ef34-49bc-8f1c-ce1ca7c3d6e" + std::to_string(i);
    d.paneID = "%" + std::to_string(i);
    d.socketPath = "/tmp/tmux-1000/default";
    d.tmuxSession = "work-" + std::to_string(i);
    d.pid = 40000 + i;
    d.cwd = "/home/dev/src/project-" + std::to_string(i);
    d.model = "claude-opus-5[1m]";
    d.gitBranch = "main";
    d.permissionMode = PermissionMode::default_;
    d.state = i % 3 == 0 ? SessionState::waiting : SessionState::busy;
    if (d.state == SessionState::waiting)
      d.waitingFor = "permission";
    d.transcriptPath = "/home/dev/.claude/projects/-home-dev-src-project/" + d.sessionID + ".jsonl";
    d.claudeVersion = "2.1.222";
    d.lastActivity = sys_days{2025y / January / 31} + 9h + seconds(i);
    update.sessions.push_back(std::move(d));
  }
  return ServerEnvelope(123456, system_clock::now(), std::move(update));
}

ServerEnvelope pong() {
  return ServerEnvelope(123456, system_clock::now(), Pong{.echo = "n-42"});
}

void encode(benchmark::State& state, const ServerEnvelope& envelope) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = envelope.encode();
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["envelopes/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void decode(benchmark::State& state, const ServerEnvelope& envelope) {
  const std::string text = envelope.encode();
  for (auto _ : state) {
    ServerEnvelope decoded = ServerEnvelope::decode(text);
    benchmark::DoNotOptimize(decoded);
  }
  state.counters["envelopes/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK_CAPTURE(encode, session_update_10_sessions, sessionUpdate());
BENCHMARK_CAPTURE(decode, session_update_10_sessions, sessionUpdate());
BENCHMARK_CAPTURE(encode, pong, pong());
BENCHMARK_CAPTURE(decode, pong, pong());

}  // namespace

BENCHMARK_MAIN();
