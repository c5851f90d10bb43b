// From the end of speech at the desk to the prompt in the session: the real
// `parley run --voice` listens to a private PulseAudio daemon's microphone,
// fed in real time with espeak-ng's recording of a command; the
// transcription stand-in answers at once, so what is measured is the
// utterance cutter's release, the endpointer's wait and the injection into
// the real Claude Code 2.1.222, up to the UserPromptSubmit hook it fires.
// The target speaks of what comes on top of the endpointer's wait for a
// finished sentence.

#include <benchmark/benchmark.h>

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "claude_code_session.hpp"
#include "desktop/espeak_synthesizer.hpp"
#include "http_standin.hpp"
#include "parley_run.hpp"
#include "pulse_daemon.hpp"
#include "voice/endpointer.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr int kRounds = 10;
constexpr int kWarmup = 1;

// A microphone: 20 ms blocks into the daemon's source at the pace a sound
// card delivers them, silence unless something is said.
class Microphone {
 public:
  explicit Microphone(test::PulseDaemon& daemon) : thread_([this, &daemon] { run(daemon); }) {}
  ~Microphone() {
    stop_ = true;
    thread_.join();
  }

  // Says the samples; returns when their last block went in (wall-clock ns).
  std::int64_t say(const std::vector<std::int16_t>& samples) {
    {
      std::lock_guard lock(mutex_);
      queue_.insert(queue_.end(), samples.begin(), samples.end());
      endedAt_ = 0;
    }
    std::int64_t ended = 0;
    test::waitUntil(
        [&] {
          std::lock_guard lock(mutex_);
          ended = endedAt_;
          return ended != 0;
        },
        60s, 1ms);
    return ended;
  }

 private:
  static constexpr std::size_t kBlock = 320;  // 20 ms at 16 kHz

  void run(test::PulseDaemon& daemon) {
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
      std::vector<std::int16_t> block(kBlock, 0);
      bool last = false;
      {
        std::lock_guard lock(mutex_);
        const std::size_t n = std::min(kBlock, queue_.size());
        std::copy_n(queue_.begin(), n, block.begin());
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        last = n > 0 && queue_.empty();
      }
      daemon.speak(block);
      if (last) {
        std::lock_guard lock(mutex_);
        endedAt_ = nowNanos();
      }
      // The sound card's clock, not a wait for something to happen.
      next += 20ms;
      std::this_thread::sleep_until(next);
    }
  }

  std::mutex mutex_;
  std::deque<std::int16_t> queue_;
  std::int64_t endedAt_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// End of speech to the utterance posted to the recogniser: the cutter's
// release and the sound server's latency.
std::vector<double>& toRecogniser() {
  static std::vector<double> millis;
  return millis;
}

std::vector<double> measure() {
  test::PulseDaemon daemon;
  if (!daemon.problem().empty())
    throw std::runtime_error(daemon.problem());
  std::mutex mutex;
  std::deque<std::string> script;
  std::vector<std::int64_t> posted;  // when each utterance reached the recogniser
  test::HttpStandin transcriber([&](const test::HttpStandin::Request&) {
    std::lock_guard lock(mutex);
    posted.push_back(nowNanos());
    std::string text;
    if (!script.empty()) {
      text = script.front();
      script.pop_front();
    }
    return test::HttpStandin::reply(200, "application/json",
                                    json::serialize(json::object{{"text", text}}));
  });

  ParleyRun app({"--voice"}, {{"PULSE_SERVER", daemon.server()}});
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) {
    test::writeFile(
        home / ".config/parley/preferences.json",
        json::serialize(json::object{
            {"voice", {{"recognizer", "http"}, {"transcriptionUrl", transcriber.url()}}}}));
    app.start(home, "UserPromptSubmit");
  };
  test::ClaudeCodeSession claude(options);
  if (!test::waitUntil(
          [&] { return app.output().find("native voice mode started") != std::string::npos; }, 30s))
    throw std::runtime_error("desktop voice did not start: " + app.errors());

  Microphone microphone(daemon);
  auto speech = desktop::EspeakSynthesizer::synthesize("run the tests", std::nullopt, "en-US", 1.0f)
                    .resampled(16000)
                    .samples;
  // The speech ends at its last voiced sample, not at the synthesiser's
  // trailing silence.
  const auto voiced = std::find_if(speech.rbegin(), speech.rend(),
                                   [](std::int16_t s) { return s > 300 || s < -300; });
  speech.erase(voiced.base(), speech.end());
  std::vector<double> millis;
  for (int round = 0; round < kWarmup + kRounds; ++round) {
    claude.api().enqueue(test::Turn::text("The tests pass."));
    {
      std::lock_guard lock(mutex);
      script.push_back("Run the tests, round " + std::to_string(round) + ".");
    }
    const std::int64_t ended = microphone.say(speech);
    std::vector<std::int64_t> fired;
    if (!test::waitUntil(
            [&] {
              fired = app.stamps();
              return fired.size() == static_cast<std::size_t>(round + 1);
            },
            30s))
      throw std::runtime_error("the spoken prompt never reached Claude Code: " + app.output());
    if (round >= kWarmup) {
      millis.push_back(static_cast<double>(fired.back() - ended) / 1e6);
      std::lock_guard lock(mutex);
      if (!posted.empty())
        toRecogniser().push_back(static_cast<double>(posted.back() - ended) / 1e6);
    }
    // The answer is read out; the next command waits until it has been.
    if (!test::waitUntil(
            [&] {
              return count(app.errors(), "spoken; listening again") ==
                     static_cast<std::size_t>(round + 1);
            },
            60s))
      throw std::runtime_error("the answer was not spoken: " + app.errors());
  }
  return millis;
}

void BM_SpeechEndToPrompt(benchmark::State& state) {
  const std::vector<double> millis = measureWithClaudeCode(state, measure);
  if (millis.empty())
    return;
  const double wait = static_cast<double>(voice::Endpointer::Policy{}.terminalMS.count());
  state.counters["p50_ms"] = percentile(millis, 0.5);
  state.counters["p50_beyond_endpointer_ms"] = percentile(millis, 0.5) - wait;
  char line[400];
  std::snprintf(line, sizeof line,
                "end of speech -> UserPromptSubmit in the real Claude Code, %d spoken prompts: "
                "p50 %.0f ms, p99 %.0f ms; beyond the endpointer's %.0f ms wait: p50 %.0f ms, "
                "p99 %.0f ms (target under 300 ms); of which end of speech -> utterance at the "
                "recogniser p50 %.0f ms",
                kRounds, percentile(millis, 0.5), percentile(millis, 0.99), wait,
                percentile(millis, 0.5) - wait, percentile(millis, 0.99) - wait,
                percentile(toRecogniser(), 0.5));
  summary().push_back(line);
}
BENCHMARK(BM_SpeechEndToPrompt)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  return parley::bench::benchMain(argc, argv, "Desktop voice");
}
