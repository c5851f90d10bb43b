// PermissionRequest hook to permission_request on the phone, with the real
// Claude Code 2.1.222 asking: each round Claude Code (scripted by the test
// suite's stand-in for its API) runs a Bash command, which it asks about; a
// second PermissionRequest hook next to the relay writes the time the hook
// fired, and the phone (a WebSocket client on loopback, paired with the real
// `parley pair` to the real `parley run`) notes when the request arrives. The
// phone then answers, and the next round starts after the turn's end.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "bench_tools.hpp"
#include "claude_code_session.hpp"
#include "protocol/envelope.hpp"
#include "support/phone_client.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr int kRounds = 20;
constexpr int kWarmup = 2;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string>& summary() {
  static std::vector<std::string> lines;
  return lines;
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5)];
}

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// `parley run` in Claude Code's HOME, started before Claude Code so its
// hooks reach it from the first event on.
struct App {
  fs::path home;
  std::string searchPath;  // a scripted `tailscale` first
  fs::path stamps;
  std::uint16_t port = 0;
  pid_t pid = -1;
  std::string token;

  std::map<std::string, std::string> env() const {
    return {{"HOME", home.string()}, {"PATH", searchPath}, {"LANG", "C.UTF-8"}};
  }

  void start(const fs::path& h) {
    home = h;
    stamps = home / "permission-hook-times";
    const std::string parley = test::binPath("parley").string();
    searchPath = scriptedTailscale(home / "bin", "desk.tailnet-bench.ts.net.");
    if (!test::runProcess({parley, "hooks", "install"}, env()).ok())
      throw std::runtime_error("parley hooks install failed");
    // A second hook on the same event notes when Claude Code fired it.
    const fs::path settings = home / ".claude" / "settings.json";
    json::object root = json::parse(slurp(settings)).as_object();
    json::array& entries = root["hooks"].as_object()["PermissionRequest"].as_array();
    entries.push_back(json::object{
        {"hooks",
         json::array{json::object{{"type", "command"},
                                  {"command", "date +%s%N >> '" + stamps.string() + "'"}}}}});
    std::ofstream(settings) << json::serialize(root);

    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), 0));
    port = acceptor.local_endpoint().port();
    acceptor.close();
    pid = ::fork();
    if (pid == 0) {
      const std::string h = "HOME=" + home.string(), l = "LANG=C.UTF-8";
      const std::string p = "PATH=" + searchPath;
      const std::string portText = std::to_string(port);
      const std::string out = (home / "run.out").string();
      std::freopen(out.c_str(), "w", stdout);
      char* envp[] = {const_cast<char*>(h.c_str()), const_cast<char*>(l.c_str()),
                      const_cast<char*>(p.c_str()), nullptr};
      ::execle(parley.c_str(), parley.c_str(), "run", "--port", portText.c_str(), nullptr, envp);
      ::_exit(127);
    }
    if (!test::waitUntil(
            [&] {
              const std::string out = slurp(home / "run.out");
              return out.find("listening on :" + std::to_string(port)) != std::string::npos &&
                     out.find("hook socket listening at") != std::string::npos;
            },
            30s))
      throw std::runtime_error("parley run did not start");
    const auto paired = test::runProcess(
        {parley, "pair", "--name", "Bench", "--json", "--port", std::to_string(port)}, env());
    if (!paired.ok())
      throw std::runtime_error("parley pair failed");
    token = std::string(json::parse(paired.out).at("token").as_string());
  }

  ~App() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

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
  App app;
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) { app.start(home); };
  test::ClaudeCodeSession claude(options);
  test::PhoneClient phone(app.port);
  phone.sendHello(app.token);
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
    std::int64_t fired = 0;
    test::waitUntil(
        [&] {
          std::istringstream lines(slurp(app.stamps));
          int count = 0;
          for (std::string line; std::getline(lines, line); ++count)
            fired = std::stoll(line);
          return count == round + 1;
        },
        10s);
    if (round >= kWarmup)
      millis.push_back(static_cast<double>(arrived - fired) / 1e6);
    phone.send(protocol::PermissionAnswer{.clientMsgID = file,
                                          .requestID = request.requestID,
                                          .nonce = request.nonce,
                                          .optionIndex = 1});
    await<protocol::TurnFinished>(phone);
  }
  return millis;
}

void BM_PermissionHookToPhone(benchmark::State& state) {
  if (!test::installedClaudeCode()) {
    state.SkipWithError(test::claudeCodeMissingMessage().c_str());
    return;
  }
  std::vector<double> millis;
  for (auto _ : state) {
    try {
      millis = measure();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
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
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  for (const std::string& line : parley::bench::summary())
    std::cout << "\n== Permission requests: " << line << '\n';
  benchmark::Shutdown();
  return 0;
}
