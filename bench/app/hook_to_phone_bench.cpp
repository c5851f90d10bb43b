// Hook-to-phone latency through the real processes: from starting parley-hook
// with a captured Claude Code hook line on its standard input to a paired
// phone receiving the session_update that the event causes. The application
// is the real `parley run` (a temporary HOME, a scripted `tailscale` first on
// PATH), the device is paired with the real `parley pair`, and the phone is a
// WebSocket client on loopback. One event at a time: each run waits for its
// update, and for the tool_started that follows it, before the next starts.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "app/web_sites.hpp"
#include "base/files.hpp"
#include "bench_tools.hpp"
#include "protocol/envelope.hpp"
#include "support/phone_client.hpp"
#include "support/web_driver.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;

constexpr int kEvents = 500;
constexpr int kWarmup = 20;

// A child started from an argument vector (never a shell) with exactly the
// given environment; standard input from a file, standard output to one.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& input, const fs::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env)
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Polls a condition every few milliseconds until it holds or 30 seconds pass.
bool pollFor(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), 0));
  return acceptor.local_endpoint().port();
}

// `parley run` in a temporary HOME with a paired phone connected to it.
class Bridge {
 public:
  Bridge() {
    std::string pattern = (fs::temp_directory_path() / "parley-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const fs::path home = dir_ / "home";
    const fs::path bin = dir_ / "bin";
    fs::create_directories(home);
    env_ = {"HOME=" + home.string(), "PATH=" + scriptedTailscale(bin, "desk.tailnet-bench.ts.net."),
            "LANG=C.UTF-8"};

    port_ = freePort();
    const std::string parley = (fs::path(PARLEY_BIN_DIR) / "parley").string();
    app_ = spawn({parley, "run", "--port", std::to_string(port_)}, env_, "/dev/null",
                 dir_ / "run.out");
    const std::string listening = "listening on :" + std::to_string(port_);
    if (!pollFor([&] {
          const std::string out = base::readFileIfExists(dir_ / "run.out").value_or("");
          return out.find(listening) != std::string::npos &&
                 out.find("hook socket listening at") != std::string::npos;
        }))
      throw std::runtime_error("parley run did not start:\n" +
                               base::readFileIfExists(dir_ / "run.out").value_or(""));

    const pid_t pair =
        spawn({parley, "pair", "--name", "Bench", "--json", "--port", std::to_string(port_)}, env_,
              "/dev/null", dir_ / "pair.out");
    if (waitExit(pair) != 0)
      throw std::runtime_error("parley pair failed");
    const json::object offer =
        json::parse(base::readFileIfExists(dir_ / "pair.out").value_or("")).as_object();
    const std::string token(offer.at("token").as_string());
    const std::string url(offer.at("url").as_string());
    pairingFragment_ = url.substr(url.find('#'));

    phone_.emplace(port_);
    phone_->sendHello(token);
    while (!std::holds_alternative<protocol::HelloAck>(next().message)) {
    }
  }

  ~Bridge() {
    phone_.reset();
    if (app_ > 0) {
      ::kill(app_, SIGTERM);
      waitExit(app_);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  const fs::path& directory() const { return dir_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& pairingFragment() const { return pairingFragment_; }

  // The relay's environment: the application's HOME (so the default hook
  // socket), and a tmux pane as Claude Code's hooks have one.
  std::vector<std::string> relayEnvironment() const {
    std::vector<std::string> env = env_;
    env.push_back("TMUX_PANE=%7");
    env.push_back("TMUX=/tmp/tmux-bench/default,4242,0");
    return env;
  }

  protocol::ServerEnvelope next() {
    const auto incoming = phone_->next(std::chrono::seconds(30));
    if (incoming.kind != test::PhoneClient::Incoming::Kind::message)
      throw std::runtime_error("the phone lost its connection: " + incoming.error);
    return protocol::ServerEnvelope::decode(incoming.text);
  }

 private:
  fs::path dir_;
  std::vector<std::string> env_;
  std::uint16_t port_ = 0;
  std::string pairingFragment_;
  pid_t app_ = -1;
  std::optional<test::PhoneClient> phone_;
};

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[index];
}

std::vector<std::string>& summary() {
  static std::vector<std::string> lines;
  return lines;
}

std::string formatLine(const char* format, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

struct Samples {
  std::vector<double> toUpdate;     // microseconds to the session_update
  std::vector<double> toNarration;  // to the tool_started that follows it
  // Starting /bin/true and seeing it exit, interleaved with the events: the
  // share of the latency that is only process start, under the same load.
  std::vector<double> floor;
};

Samples measure() {
  Bridge bridge;
  const fs::path input = bridge.directory() / "payload.json";
  base::writeFileAtomically(input, json::serialize(capturedPreToolUse()) + "\n");
  const std::string relay = (fs::path(PARLEY_BIN_DIR) / "parley-hook").string();
  const std::vector<std::string> env = bridge.relayEnvironment();

  Samples samples;
  for (int run = 0; run < kWarmup + kEvents; ++run) {
    const auto start = Clock::now();
    const pid_t pid = spawn({relay}, env, input, "/dev/null");
    std::optional<double> update;
    while (true) {
      const protocol::ServerEnvelope envelope = bridge.next();
      const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      if (std::holds_alternative<protocol::SessionUpdate>(envelope.message) && !update) {
        update = micros;
      } else if (std::holds_alternative<protocol::ToolStarted>(envelope.message)) {
        if (!update)
          throw std::runtime_error("the tool start came before its session update");
        if (run >= kWarmup) {
          samples.toUpdate.push_back(*update);
          samples.toNarration.push_back(micros);
        }
        break;
      }
    }
    if (waitExit(pid) != 0)
      throw std::runtime_error("parley-hook did not exit 0");

    const auto floorStart = Clock::now();
    waitExit(spawn({"/bin/true"}, env, "/dev/null", "/dev/null"));
    if (run >= kWarmup)
      samples.floor.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - floorStart).count());
  }
  return samples;
}

void BM_HookToPhone(benchmark::State& state) {
  Samples samples;
  for (auto _ : state) {
    try {
      samples = measure();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }

  state.counters["update_p50_us"] = percentile(samples.toUpdate, 0.5);
  state.counters["update_p99_us"] = percentile(samples.toUpdate, 0.99);
  summary().push_back(formatLine(
      "hook-to-phone latency, %d PreToolUse events one at a time (parley-hook start -> phone):",
      kEvents));
  summary().push_back(formatLine("  %-26s %10s %10s %10s %10s", "", "p50", "p99", "min", "max"));
  for (const auto& [label, values] :
       {std::pair<const char*, const std::vector<double>*>{"session_update", &samples.toUpdate},
        {"tool_started (after it)", &samples.toNarration},
        {"/bin/true start-to-exit", &samples.floor}}) {
    summary().push_back(formatLine("  %-26s %7.0f us %7.0f us %7.0f us %7.0f us", label,
                                   percentile(*values, 0.5), percentile(*values, 0.99),
                                   *std::min_element(values->begin(), values->end()),
                                   *std::max_element(values->begin(), values->end())));
  }
}
BENCHMARK(BM_HookToPhone)->Iterations(1)->Unit(benchmark::kSecond);

// What a phone downloads to open the page: every file of the site, each
// gzip-compressed as a server or proxy would send it.
std::size_t gzipSize(std::string_view data) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&stream, Z_FINISH);
  const std::size_t size = stream.total_out;
  deflateEnd(&stream);
  if (rc != Z_STREAM_END)
    throw std::runtime_error("deflate failed");
  return size;
}

void BM_PhonePageTransferSize(benchmark::State& state) {
  std::size_t raw = 0, compressed = 0;
  for (auto _ : state) {
    raw = compressed = 0;
    for (const link::WebFile& file : web::phoneSite()) {
      raw += file.body.size();
      compressed += gzipSize(file.body);
    }
  }
  state.counters["raw_bytes"] = static_cast<double>(raw);
  state.counters["gzip_bytes"] = static_cast<double>(compressed);
  summary().push_back(formatLine(
      "phone page: %zu files, %zu bytes, %zu bytes gzip-compressed (target under 100 KB)",
      web::phoneSite().size(), raw, compressed));
}
BENCHMARK(BM_PhonePageTransferSize)->Iterations(1);

// A phone reopening the page while it was away: from the start of the page
// load to the first narration it shows (replayed on resume), in real
// headless Chromium against `parley run`.
void BM_PageLoadToFirstNarration(benchmark::State& state) {
  if (const auto reason = test::WebDriver::unavailable()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  constexpr int kLoads = 20;
  std::vector<double> samples;
  for (auto _ : state) {
    try {
      Bridge bridge;
      const fs::path input = bridge.directory() / "payload.json";
      base::writeFileAtomically(input, json::serialize(capturedPreToolUse()) + "\n");
      const std::string relay = (fs::path(PARLEY_BIN_DIR) / "parley-hook").string();
      test::WebDriver browser;
      browser.go(bridge.origin() + "/" + bridge.pairingFragment());
      if (!browser.waitForText("#link-state", "Connected", std::chrono::seconds(30)))
        throw std::runtime_error("the page did not connect");
      for (int load = 0; load < kLoads; ++load) {
        browser.go("about:blank");
        if (waitExit(spawn({relay}, bridge.relayEnvironment(), input, "/dev/null")) != 0)
          throw std::runtime_error("parley-hook did not exit 0");
        browser.go(bridge.origin() + "/");
        json::value shown;
        if (!browser.waitFor(
                [&] {
                  shown = browser.script("return globalThis.parleyFirstNarrationMs ?? null");
                  return !shown.is_null();
                },
                std::chrono::seconds(30)))
          throw std::runtime_error("no narration shown after reopening the page");
        samples.push_back(shown.to_number<double>());
      }
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["p50_ms"] = percentile(samples, 0.5);
  summary().push_back(formatLine(
      "page load to first narration shown, %d reopenings: p50 %.0f ms, max %.0f ms", kLoads,
      percentile(samples, 0.5), *std::max_element(samples.begin(), samples.end())));
}
BENCHMARK(BM_PageLoadToFirstNarration)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  if (!parley::bench::summary().empty()) {
    std::cout << "\n== Application: summary\n";
    for (const std::string& line : parley::bench::summary())
      std::cout << line << '\n';
  }
  benchmark::Shutdown();
  return 0;
}
