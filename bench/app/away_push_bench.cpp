// A permission dialog to the push request at the phone's push service, with
// the person away from an idle desk. Each round the real Claude Code 2.1.222
// (scripted by the test suite's stand-in for its API) runs a Bash command and
// asks about it; its PermissionRequest hook goes through the real relay to
// the application's model, which reads the dialog off the tmux pane, finds
// the login session idle for ten minutes (a stand-in logind on a private
// D-Bus bus, read as the desktop's would be) and sends the request by Web
// Push to a paired phone whose page is closed. A loopback stand-in push
// service notes when the request arrives. The model runs in this process,
// made as `parley run` makes it, because the real application posts only to
// push services on the internet.
//
// The time runs from when the dialog was drawn: tmux hands what Claude Code
// writes to its pane to a file (`pipe-pane`), read here as it grows. A second
// PermissionRequest hook notes when Claude Code fired it, which it does
// before drawing the dialog, for the time from the hook as well. The dialog
// is then answered at the keyboard and the next round starts after the turn.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "app/app_model.hpp"
#include "base/files.hpp"
#include "claude_code_session.hpp"
#include "desktop/logind.hpp"
#include "link/pairing.hpp"
#include "parley_run.hpp"
#include "support/dbus_standins.hpp"
#include "support/http_standin.hpp"
#include "support/push_browser.hpp"

namespace parley::bench {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr int kRounds = 20;
constexpr int kWarmup = 2;

// When something happened, noted from another thread.
class Moments {
 public:
  void note(std::int64_t at) {
    std::lock_guard lock(mutex_);
    times_.push_back(at);
  }
  std::vector<std::int64_t> all() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> times_;
};

// What Claude Code writes to its pane, as tmux receives it (`pipe-pane`),
// with when each piece was seen: the moment a dialog is drawn.
class PaneOutput {
 public:
  PaneOutput(const test::ClaudeCodeSession& claude, const fs::path& file) {
    base::writeFileAtomically(file, "");
    fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 || !test::runProcess({"tmux", "-S", claude.socketPath().string(), "pipe-pane", "-t",
                                      claude.pane(), "cat >> '" + file.string() + "'"},
                                     {{"PATH", "/usr/bin:/bin"}})
                        .ok())
      throw std::runtime_error("cannot follow the pane's output");
    reader_ = std::thread([this] { follow(); });
  }
  ~PaneOutput() {
    stop_ = true;
    reader_.join();
    ::close(fd_);
  }
  PaneOutput(const PaneOutput&) = delete;
  PaneOutput& operator=(const PaneOutput&) = delete;

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return text_.size();
  }
  // When `text` was first seen in the output past `from`, if it was.
  std::optional<std::int64_t> when(std::string_view text, std::size_t from) const {
    std::lock_guard lock(mutex_);
    const std::size_t at = text_.find(text, from);
    if (at == std::string::npos)
      return std::nullopt;
    const auto piece = std::lower_bound(pieces_.begin(), pieces_.end(), at + text.size(),
                                        [](const std::pair<std::size_t, std::int64_t>& p,
                                           std::size_t end) { return p.first < end; });
    return piece->second;
  }

 private:
  // A read every millisecond or so costs next to nothing and dates each
  // piece closely enough for a figure in tens of milliseconds.
  void follow() {
    char buffer[65536];
    while (!stop_) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        const std::int64_t now = nowNanos();
        std::lock_guard lock(mutex_);
        text_.append(buffer, static_cast<std::size_t>(n));
        pieces_.emplace_back(text_.size(), now);
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
  }

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string text_;
  // (end of the piece in text_, when it was read)
  std::vector<std::pair<std::size_t, std::int64_t>> pieces_;
  std::thread reader_;
};

// The application's model as `parley run` makes it (its own main thread,
// two workers, one thread for tmux), for Claude Code's `home`, keeping its
// own files in `state`, with one phone paired whose notifications go to
// `endpoint`.
class InProcessParley {
 public:
  InProcessParley(const fs::path& home, const fs::path& state, const std::string& endpoint,
                  const test::Browser& phone, Moments& published) {
    app::AppModel::Options options;
    options.home = home;
    // Where the relay in Claude Code's panes looks, with that HOME.
    options.hookSocket = home / ".local/share/parley/hook.sock";
    fs::create_directories(options.hookSocket.parent_path());
    options.executableDirectory = PARLEY_BIN_DIR;
    scriptedTailscale(state / "bin", "desk.tailnet-bench.ts.net.");
    options.phoneLink.tailscaleExecutable = (state / "bin" / "tailscale").string();
    options.phoneLink.devicesFile = state / "devices.json";
    options.phoneLink.preferencesFile = state / "preferences.json";
    options.phoneLink.server.port = 0;
    options.phoneLink.server.bindAddress = "127.0.0.1";
    options.phoneLink.server.serverVersion = "bench";
    options.phoneLink.push.allowLoopbackEndpoints = true;
    options.power.makeInhibitor = [] { return std::make_unique<desktop::LogindInhibitor>(); };

    const link::PairingStore pairing("com.ketchworks.parley.pairing", options.phoneLink.devicesFile,
                                     link::Preferences(*options.phoneLink.preferencesFile));
    const std::string device = link::makeUUID();
    pairing.addDevice("Bench", device);
    pairing.setPushSubscription(device, phone.subscription(endpoint));

    model_ = app::AppModel::create(main_, workers_.get_executor(), terminal_.get_executor(),
                                   std::move(options));
    // The model logs each request it publishes, once it has read the dialog.
    model_->onLogEntry = [&published](const app::LogEntry& entry) {
      if (entry.text.starts_with("permission request sent to the phone"))
        published.note(nowNanos());
    };
    model_->start();
    thread_ = std::thread([this] { main_.run(); });
  }

  // Runs `f` on the model's thread and returns what it returns.
  template <class F>
  auto onMain(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    asio::post(main_, [&task] { task(); });
    return result.get();
  }

  ~InProcessParley() {
    onMain([this] { model_.reset(); });
    work_.reset();
    thread_.join();
    terminal_.join();
    workers_.join();
  }
  InProcessParley(const InProcessParley&) = delete;
  InProcessParley& operator=(const InProcessParley&) = delete;

  std::string whereabouts() {
    return onMain([this] { return model_->alerts().whereaboutsText(); });
  }

 private:
  asio::io_context main_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{asio::make_work_guard(main_)};
  asio::thread_pool workers_{2};
  asio::thread_pool terminal_{1};
  std::shared_ptr<app::AppModel> model_;
  std::thread thread_;
};

struct Samples {
  std::vector<double> total;       // hook fired -> push arrived, ms
  std::vector<double> drawn;       // dialog written to the pane -> push arrived
  std::vector<double> toScreen;    // hook fired -> request published
  std::vector<double> fromScreen;  // request published -> push arrived
};

Samples measure() {
  const test::Browser phone;
  Moments arrived, published;
  test::HttpStandin pushService{[&arrived](const test::HttpStandin::Request&) {
    arrived.note(nowNanos());
    return test::HttpStandin::reply(201, "text/plain", "");
  }};
  test::PrivateBus bus{true};
  test::StandInLogind logind{bus.address()};
  test::StandInNotifications notifications{bus.address()};
  logind.setIdle(true, std::chrono::system_clock::now() - 10min);
  const test::TempDir state;

  std::optional<InProcessParley> parley;
  fs::path stamps;
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) {
    stamps = home / "hook-times";
    const char* path = std::getenv("PATH");
    installStampedHooks(
        home, "PermissionRequest", stamps,
        {{"HOME", home.string()}, {"PATH", path ? path : "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}});
    parley.emplace(home, state.path(), pushService.url() + "/bench-phone", phone, published);
  };
  test::ClaudeCodeSession claude(options);
  if (!test::waitUntil([&] { return parley->whereabouts() == "away (idle)"; }, 10s))
    throw std::runtime_error("the model did not find the desk idle: " + parley->whereabouts());

  const PaneOutput output(claude, state.path() / "pane-output");
  Samples samples;
  for (int round = 0; round < kWarmup + kRounds; ++round) {
    const std::size_t pushes = arrived.all().size();
    const std::size_t requests = published.all().size();
    const std::size_t written = output.size();
    std::string file = "bench-";
    file += std::to_string(round);
    file += ".txt";
    claude.api().enqueue(test::Turn::tools({test::ToolCall::bash("touch " + file)}).then("ok"));
    claude.submit("touch " + file);
    if (!test::waitUntil([&] { return arrived.all().size() > pushes; }, 30s))
      throw std::runtime_error("no push for the dialog of round " + std::to_string(round));
    const auto fired = static_cast<std::size_t>(round + 1);
    if (!test::waitUntil([&] { return readStamps(stamps).size() == fired; }, 10s) ||
        published.all().size() <= requests)
      throw std::runtime_error("the hook or the request of round " + std::to_string(round) +
                               " is missing");
    // What arrived is this dialog's request, sealed for the phone.
    const std::string payload = phone.decrypt(pushService.requests().at(pushes).body());
    if (payload.empty() || json::parse(payload).at("kind") != "permission")
      throw std::runtime_error("the push of round " + std::to_string(round) +
                               " is not a permission request: " + payload);
    const auto drawn = output.when("proceed?", written);
    if (!drawn)
      throw std::runtime_error("the dialog of round " + std::to_string(round) +
                               " was never written to the pane");
    if (round >= kWarmup) {
      const auto ms = [](std::int64_t from, std::int64_t to) {
        return static_cast<double>(to - from) / 1e6;
      };
      const std::int64_t hook = readStamps(stamps).back();
      const std::int64_t read = published.all().at(requests);
      const std::int64_t push = arrived.all().at(pushes);
      samples.total.push_back(ms(hook, push));
      samples.drawn.push_back(ms(*drawn, push));
      samples.toScreen.push_back(ms(hook, read));
      samples.fromScreen.push_back(ms(read, push));
    }
    // Answered at the keyboard, as the person back at the desk would.
    claude.press({"1"});
    if (!claude.waitForIdle(60s))
      throw std::runtime_error("the turn of round " + std::to_string(round) + " did not end");
  }
  return samples;
}

void BM_AwayPermissionToPush(benchmark::State& state) {
  Samples samples;
  const std::vector<double> total = measureWithClaudeCode(state, [&] {
    samples = measure();
    return samples.total;
  });
  if (total.empty())
    return;
  state.counters["p50_ms"] = percentile(samples.drawn, 0.5);
  state.counters["p95_ms"] = percentile(samples.drawn, 0.95);
  char line[300];
  for (const auto& [label, values] :
       {std::pair<const char*, const std::vector<double>*>{
            "dialog written to the pane -> push request", &samples.drawn},
        {"PermissionRequest hook -> push request", &samples.total},
        {"  hook -> dialog read, request published", &samples.toScreen},
        {"  request published -> push request", &samples.fromScreen}}) {
    std::snprintf(line, sizeof line, "%-44s p50 %7.1f ms, p95 %7.1f ms, max %7.1f ms", label,
                  percentile(*values, 0.5), percentile(*values, 0.95),
                  *std::max_element(values->begin(), values->end()));
    summary().push_back(line);
  }
  std::snprintf(line, sizeof line,
                "(%d dialogs of the real Claude Code, desk idle 10 min; target p95 under 2 s)",
                kRounds);
  summary().push_back(line);
}
BENCHMARK(BM_AwayPermissionToPush)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  return parley::bench::benchMain(argc, argv, "Permission request pushed to an away phone");
}
