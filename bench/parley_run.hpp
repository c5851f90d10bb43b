#pragma once

// The real `parley run` for the benchmarks that drive the real Claude Code:
// started in Claude Code's HOME before Claude Code (so its hooks reach it
// from the first event on), with a scripted `tailscale`, a device paired
// with the real `parley pair`, and a second hook on one event that notes
// when Claude Code fired it.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_tools.hpp"
#include "claude_code_session.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"

namespace parley::bench {

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5)];
}

// Wall-clock nanoseconds, the clock `date +%s%N` in a hook reads.
inline std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The lines a benchmark program prints after Google Benchmark's table.
inline std::vector<std::string>& summary() {
  static std::vector<std::string> lines;
  return lines;
}

// Runs `measure`, one whole measurement against the real Claude Code, as the
// benchmark's iteration. Empty, with the benchmark skipped and why, when
// Claude Code is missing or the measurement failed.
inline std::vector<double> measureWithClaudeCode(
    benchmark::State& state, const std::function<std::vector<double>()>& measure) {
  if (!test::installedClaudeCode()) {
    state.SkipWithError(test::claudeCodeMissingMessage().c_str());
    return {};
  }
  std::vector<double> millis;
  for (auto _ : state) {
    try {
      millis = measure();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return {};
    }
  }
  return millis;
}

// A benchmark program's main(): the table, then the summary under `title`.
inline int benchMain(int argc, char** argv, const char* title) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  for (const std::string& line : summary())
    std::cout << "\n== " << title << ": " << line << '\n';
  benchmark::Shutdown();
  return 0;
}

// Parley's hooks in `home`, installed by the real `parley hooks install`
// under `env`, and a second hook on `stampEvent` that appends to `stamps`
// when Claude Code fired it. Throws when the installer fails.
inline void installStampedHooks(const std::filesystem::path& home, const std::string& stampEvent,
                                const std::filesystem::path& stamps,
                                const std::map<std::string, std::string>& env) {
  namespace json = boost::json;
  if (!test::runProcess({test::binPath("parley").string(), "hooks", "install"}, env).ok())
    throw std::runtime_error("parley hooks install failed");
  const auto settings = home / ".claude" / "settings.json";
  json::object root = json::parse(slurp(settings)).as_object();
  root["hooks"].as_object()[stampEvent].as_array().push_back(json::object{
      {"hooks",
       json::array{json::object{{"type", "command"},
                                {"command", "date +%s%N >> '" + stamps.string() + "'"}}}}});
  std::ofstream(settings) << json::serialize(root);
}

// What the stamping hook wrote, in order (wall-clock ns).
inline std::vector<std::int64_t> readStamps(const std::filesystem::path& stamps) {
  std::vector<std::int64_t> out;
  std::istringstream lines(slurp(stamps));
  for (std::string line; std::getline(lines, line);)
    out.push_back(std::stoll(line));
  return out;
}

class ParleyRun {
 public:
  // `more` goes after `parley run --port N`; `env` adds to HOME, PATH, LANG.
  explicit ParleyRun(std::vector<std::string> more = {},
                     std::map<std::string, std::string> env = {})
      : more_(std::move(more)), extraEnv_(std::move(env)) {}
  ~ParleyRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ParleyRun(const ParleyRun&) = delete;
  ParleyRun& operator=(const ParleyRun&) = delete;

  // Installs the hooks in `home` with the stamping one on `stampEvent`,
  // starts `parley run` and pairs a device. Throws when any step fails.
  void start(const std::filesystem::path& home, const std::string& stampEvent) {
    namespace json = boost::json;
    using namespace std::chrono_literals;
    home_ = home;
    stamps_ = home / "hook-times";
    searchPath_ = scriptedTailscale(home / "bin", "desk.tailnet-bench.ts.net.");
    const std::string parley = test::binPath("parley").string();
    installStampedHooks(home, stampEvent, stamps_, env());

    {
      boost::asio::io_context io;
      boost::asio::ip::tcp::acceptor acceptor(
          io, boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), 0));
      port_ = acceptor.local_endpoint().port();
    }
    std::vector<std::string> argv{parley, "run", "--port", std::to_string(port_)};
    argv.insert(argv.end(), more_.begin(), more_.end());
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env())
      envStrings.push_back(key + "=" + value);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::freopen((home / "run.out").c_str(), "w", stdout);
      std::freopen((home / "run.err").c_str(), "w", stderr);
      std::vector<char*> args, envp;
      for (auto& a : argv)
        args.push_back(a.data());
      args.push_back(nullptr);
      for (auto& e : envStrings)
        envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execve(parley.c_str(), args.data(), envp.data());
      ::_exit(127);
    }
    if (!test::waitUntil(
            [&] {
              const std::string out = output();
              return out.find("listening on :" + std::to_string(port_)) != std::string::npos &&
                     out.find("hook socket listening at") != std::string::npos;
            },
            30s))
      throw std::runtime_error("parley run did not start");
    const auto paired = test::runProcess(
        {parley, "pair", "--name", "Bench", "--json", "--port", std::to_string(port_)}, env());
    if (!paired.ok())
      throw std::runtime_error("parley pair failed");
    const json::value offer = json::parse(paired.out);
    token_ = std::string(offer.at("token").as_string());
    const std::string url(offer.at("url").as_string());
    pairingFragment_ = url.substr(url.find('#'));
  }

  std::uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  // "#pair=…" of the pairing link, for a page on this desktop's own origin.
  const std::string& pairingFragment() const { return pairingFragment_; }
  std::string output() const { return slurp(home_ / "run.out"); }
  std::string errors() const { return slurp(home_ / "run.err"); }

  // When Claude Code fired the stamping hook, in order (wall-clock ns).
  std::vector<std::int64_t> stamps() const { return readStamps(stamps_); }

 private:
  std::map<std::string, std::string> env() const {
    std::map<std::string, std::string> all{
        {"HOME", home_.string()}, {"PATH", searchPath_}, {"LANG", "C.UTF-8"}};
    all.insert(extraEnv_.begin(), extraEnv_.end());
    return all;
  }

  std::vector<std::string> more_;
  std::map<std::string, std::string> extraEnv_;
  std::filesystem::path home_;
  std::filesystem::path stamps_;
  std::string searchPath_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string token_;
  std::string pairingFragment_;
};

}  // namespace parley::bench
