// PermissionRequest hook to permission_request on the phone, with the real
// Claude Code 2.1.222 asking: each round Claude Code (scripted by the test
// suite's stand-in for its API) runs a Bash command, which it asks about; a
// second PermissionRequest hook next to the relay writes the time the hook
// fired, and the phone (a WebSocket client on loopback, paired with the real
// `parley pair` to the real `parley run`) notes when the request arrives. The
// phone then answers, and the next round starts after the turn's end.

#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include <chrono>
#include <iostream>

#include "claude_code_session.hpp"
#include "parley_run.hpp"
#include "protocol/envelope.hpp"
#include "support/phone_client.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr int kRounds = 20;
constexpr int kWarmup = 2;

template <class T>
T await(test::PhoneClient& phone, std::chrono::milliseconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto in = phone.next(10s);
    if (in.kind != test::PhoneClient::Incoming::Kind::message)
      throw std::runtime_error("the phone lost its connection: " + in.error);
    auto envelope = protocol::ServerEnvelope::decode(in.text);
    if (auto* value = std::get_if<T>(&envelope.message))
      return *value;
  }
  throw std::runtime_error("the phone waited in vain for a " + std::string(T::kType));
}

std::vector<double> measure() {
  ParleyRun app;
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) { app.start(home, "PermissionRequest"); };
  test::ClaudeCodeSession claude(options);
  test::PhoneClient phone(app.port());
  phone.sendHello(app.token());
  await<protocol::HelloAck>(phone);

  std::vector<double> millis;
  for (int round = 0; round < kWarmup + kRounds; ++round) {
    // Appended: GCC 12 misreads `"x" + std::to_string(n)` at -O3 as an
    // overlapping copy.
    const std::string number = std::to_string(round);
    std::string file = "bench-";
    file += number;
    file += ".txt";
    claude.api().enqueue(test::Turn::tools({test::ToolCall::bash("touch " + file)}).then("ok"));
    claude.submit("touch " + file);
    const auto request = await<protocol::PermissionRequest>(phone);
    const std::int64_t arrived = nowNanos();
    std::vector<std::int64_t> fired;
    test::waitUntil(
        [&] {
          fired = app.stamps();
          return fired.size() == static_cast<std::size_t>(round + 1);
        },
        10s);
    if (round >= kWarmup && !fired.empty())
      millis.push_back(static_cast<double>(arrived - fired.back()) / 1e6);
    phone.send(protocol::PermissionAnswer{.clientMsgID = file,
                                          .requestID = request.requestID,
                                          .nonce = request.nonce,
                                          .optionIndex = 1});
    await<protocol::TurnFinished>(phone);
  }
  return millis;
}

void BM_PermissionHookToPhone(benchmark::State& state) {
  const std::vector<double> millis = measureWithClaudeCode(state, measure);
  if (millis.empty())
    return;
  state.counters["p50_ms"] = percentile(millis, 0.5);
  state.counters["p99_ms"] = percentile(millis, 0.99);
  char line[200];
  std::snprintf(line, sizeof line,
                "PermissionRequest hook -> permission_request on the phone, %d dialogs of the real "
                "Claude Code: p50 %.1f ms, p99 %.1f ms, min %.1f ms, max %.1f ms",
                kRounds, percentile(millis, 0.5), percentile(millis, 0.99),
                *std::min_element(millis.begin(), millis.end()),
                *std::max_element(millis.begin(), millis.end()));
  summary().push_back(line);
}
BENCHMARK(BM_PermissionHookToPhone)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  return parley::bench::benchMain(argc, argv, "Permission requests");
}
