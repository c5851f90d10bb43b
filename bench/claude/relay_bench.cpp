// Wall time of one relay invocation, as Claude Code pays it for every hook
// event: start the process with a real hook payload on stdin, let it reach a
// live listener, wait for it to exit. parley-hook runs side by side with the
// process-start floor (/bin/true started the same way), the same relay in
// Node.js and as a shell script over socat. Runs are interleaved so the
// machine's background load falls on every variant alike.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>

#include "bench_support.hpp"

extern char** environ;

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 500;
constexpr int kWarmup = 20;

std::optional<fs::path> onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find(':', start), rest.size());
    const fs::path candidate = fs::path(rest.substr(start, end - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

struct Variant {
  std::string label;
  std::vector<std::string> argv;
  bool delivers;  // sends the payload to the listener
  std::vector<double> micros;
};

double runOnce(const Variant& v, const fs::path& input, char* const* env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : v.argv)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const auto start = Clock::now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env) != 0)
    throw std::runtime_error("cannot start " + v.argv[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto elapsed = Clock::now() - start;
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(v.label + " did not exit 0");
  return std::chrono::duration<double, std::micro>(elapsed).count();
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[index];
}

std::string formatLine(const char* format, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

void BM_RelayInvocation(benchmark::State& state) {
  CountingListener listener;
  const fs::path input = listener.socketPath().parent_path() / "payload.json";
  {
    std::ofstream out(input);
    out << realHookPayload() << '\n';
  }
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (!entry.starts_with("PARLEY_SOCKET=") && !entry.starts_with("TMUX=") &&
        !entry.starts_with("TMUX_PANE="))
      envStrings.push_back(entry);
  }
  envStrings.push_back("PARLEY_SOCKET=" + listener.socketPath().string());
  envStrings.push_back("TMUX_PANE=%3");
  envStrings.push_back("TMUX=/tmp/tmux-1000/default,4208,0");
  std::vector<char*> env;
  for (std::string& e : envStrings)
    env.push_back(e.data());
  env.push_back(nullptr);

  std::vector<Variant> variants;
  variants.push_back({"/bin/true (floor)", {"/bin/true"}, false, {}});
  variants.push_back(
      {"parley-hook", {(fs::path(PARLEY_BIN_DIR) / "parley-hook").string()}, true, {}});
  const auto node = onPath("node");
  const auto sh = onPath("sh");
  const bool haveSocat = onPath("socat").has_value();
  if (node)
    variants.push_back(
        {"Node.js relay", {node->string(), PARLEY_SOURCE_DIR "/bench/claude/relay.js"}, true, {}});
  if (sh && haveSocat)
    variants.push_back({"socat script",
                        {sh->string(), PARLEY_SOURCE_DIR "/bench/claude/relay-socat.sh"},
                        true,
                        {}});

  std::uint64_t expected = 0;
  for (auto _ : state) {
    for (int run = 0; run < kWarmup + kRuns; ++run) {
      for (Variant& v : variants) {
        const double micros = runOnce(v, input, env.data());
        if (run >= kWarmup)
          v.micros.push_back(micros);
        if (v.delivers)
          ++expected;
      }
    }
  }
  const bool allArrived = listener.waitForPayloads(expected);

  const double floor = percentile(variants[0].micros, 0.5);
  const double relay = percentile(variants[1].micros, 0.5);
  for (const Variant& v : variants) {
    const std::string key = v.label.substr(0, v.label.find(' '));
    state.counters[key + "_median_us"] = percentile(v.micros, 0.5);
    state.counters[key + "_p99_us"] = percentile(v.micros, 0.99);
  }

  addSummaryLine(formatLine("relay wall time per invocation, %d runs each, interleaved:", kRuns));
  addSummaryLine(formatLine("  %-20s %12s %12s %12s", "", "median", "p99", "vs floor"));
  for (const Variant& v : variants) {
    const double median = percentile(v.micros, 0.5);
    addSummaryLine(formatLine("  %-20s %9.0f us %9.0f us %11.2fx", v.label.c_str(), median,
                              percentile(v.micros, 0.99), median / floor));
  }
  addSummaryLine(formatLine("  parley-hook / floor          = %.2fx  (target <= 1.5x)  %s",
                            relay / floor, relay / floor <= 1.5 ? "met" : "MISSED"));
  for (std::size_t i = 2; i < variants.size(); ++i) {
    const double ratio = percentile(variants[i].micros, 0.5) / relay;
    const double target = variants[i].label.starts_with("Node") ? 20.0 : 2.5;
    addSummaryLine(formatLine("  %-16s / parley-hook = %.1fx  (target >= %.1fx)  %s",
                              variants[i].label.c_str(), ratio, target,
                              ratio >= target ? "met" : "MISSED"));
  }
  if (!node || !sh || !haveSocat)
    addSummaryLine("  (node or socat not installed: those baselines were skipped)");
  addSummaryLine(formatLine("  payloads delivered: %llu of %llu, listener errors: %llu",
                            static_cast<unsigned long long>(listener.payloads()),
                            static_cast<unsigned long long>(expected),
                            static_cast<unsigned long long>(listener.errors())));
  if (!allArrived)
    state.SkipWithError("not every relay's payload reached the listener");
}
BENCHMARK(BM_RelayInvocation)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  parley::bench::printSummary();
  benchmark::Shutdown();
  return 0;
}
