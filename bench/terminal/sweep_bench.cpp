// The cost of one full session refresh (process table, session files, tmux
// pane lists) with 1 and with 20 Claude-like processes: links to sleep named
// "claude", each the first process of its own tmux pane (so TMUX and
// TMUX_PANE are in its environment), each with a session file.

#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "base/process.hpp"
#include "terminal/session_registry.hpp"

namespace {

namespace asio = boost::asio;
using namespace parley::terminal;

// Appends rather than `"x" + std::to_string(i)`, which GCC 12 misreports at -O2
// (-Wrestrict).
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

class ClaudeLikeFleet {
 public:
  explicit ClaudeLikeFleet(int count) {
    std::string pattern = (std::filesystem::temp_directory_path() / "parley-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    socket_ = dir_ / "tmux.sock";
    std::filesystem::create_symlink("/bin/sleep", dir_ / "claude");
    std::filesystem::create_directories(dir_ / "home" / ".claude" / "sessions");
    std::filesystem::create_directories(dir_ / "home" / ".claude" / "projects" / "-p");
    for (int i = 0; i < count; ++i) {
      std::vector<std::string> args{"-S",
                                    socket_.string(),
                                    "-f",
                                    "/dev/null",
                                    "new-session",
                                    "-d",
                                    "-P",
                                    "-F",
                                    "#{pane_pid}",
                                    "-s",
                                    numbered("s", i),
                                    "--",
                                    (dir_ / "claude").string(),
                                    "3600"};
      const parley::base::ProcessResult r = parley::base::runProcess("/usr/bin/tmux", args);
      if (r.status != 0)
        throw std::runtime_error("tmux new-session failed: " + r.err);
      const int pid = std::stoi(r.out);
      const std::string id = numbered("session-", i);
      boost::json::object file{{"pid", pid},           {"sessionId", id},  {"cwd", "/src/p"},
                               {"version", "2.1.222"}, {"status", "idle"}, {"kind", "interactive"}};
      std::ofstream(dir_ / "home" / ".claude" / "sessions" / (std::to_string(pid) + ".json"))
          << boost::json::serialize(file);
      std::ofstream(dir_ / "home" / ".claude" / "projects" / "-p" / (id + ".jsonl")) << "{}\n";
    }
  }

  ~ClaudeLikeFleet() {
    parley::base::runProcess("/usr/bin/tmux", {"-S", socket_.string(), "kill-server"});
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path home() const { return dir_ / "home"; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path socket_;
};

void BM_Sweep(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  ClaudeLikeFleet fleet(count);
  asio::thread_pool pool(2);
  SessionRegistry registry(pool.get_executor(), SessionSources::forHome(fleet.home()));
  std::size_t found = 0;
  for (auto _ : state) {
    found = registry.sweep(std::chrono::system_clock::now(), asio::use_future).get().size();
    benchmark::DoNotOptimize(found);
  }
  if (found != static_cast<std::size_t>(count))
    state.SkipWithError("the sweep did not find every Claude-like process");
  state.counters["sessions"] = static_cast<double>(found);
}

BENCHMARK(BM_Sweep)
    ->Arg(1)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
