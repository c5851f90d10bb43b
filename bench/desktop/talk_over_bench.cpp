// Talking over Parley: the voice session reads a reply out on a private
// PulseAudio daemon, whose speakers reach its microphone 40 ms later at half
// the level (a room), and two seconds in the person says "stop". Measured
// from the end of the word going into the microphone: to playback cut (the
// session acts on the command once the player has dropped the server's
// buffer), and to the last sound heard from the speakers. The transcription
// stand-in knows the word by its waveform and answers at once, so what is
// measured is Parley's part: the canceller, the cutter's release, the upload
// and the cut; a real transcription server adds its own time. Anything else
// uploaded is answered with Parley's own "no", which must never be taken.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <cstring>
#include <future>
#include <iostream>
#include <mutex>

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/voice_session.hpp"
#include "http_standin.hpp"
#include "pulse_daemon.hpp"
#include "room.hpp"

namespace {

using namespace parley;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 6;

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5)];
}

double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<std::int16_t> spokenWord(const std::string& text) {
  auto samples = desktop::EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f)
                     .resampled(16000)
                     .samples;
  // Nearer the microphone than the speakers are.
  for (auto& sample : samples)
    sample = static_cast<std::int16_t>(sample * 6 / 10);
  // The word ends at its last voiced sample, not at the synthesiser's quiet.
  auto loud = [](std::int16_t s) { return s > 300 || s < -300; };
  samples.erase(std::find_if(samples.rbegin(), samples.rend(), loud).base(), samples.end());
  samples.erase(samples.begin(), std::find_if(samples.begin(), samples.end(), loud));
  return samples;
}

struct Figures {
  std::vector<double> toCut;       // end of "stop" -> playback cut, the server's buffer dropped
  std::vector<double> toSilence;   // end of "stop" -> last sound heard from the speakers
  std::vector<double> transcribe;  // the stand-in's own time on the word
  int taken = 0;                   // of Parley's own words, taken as the person's
  int missed = 0;                  // rounds where the word was not acted on
};

Figures measure() {
  test::PulseDaemon daemon;
  if (!daemon.problem().empty())
    throw std::runtime_error(daemon.problem());
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  boost::asio::thread_pool pool(2);
  const auto stop = spokenWord("stop");
  std::mutex mutex;
  Figures figures;
  std::optional<Clock::time_point> acted;
  double lastAnswer = 0;
  test::HttpStandin standin([&](const test::HttpStandin::Request& request) {
    const auto began = Clock::now();
    const std::string text =
        test::Room::likeness(test::HttpStandin::uploadedSamples(request.body()), stop) > 0.5
            ? "Stop."
            : "No.";
    std::lock_guard lock(mutex);
    lastAnswer = millis(Clock::now() - began);
    return test::HttpStandin::reply(200, "application/json",
                                    boost::json::serialize(boost::json::object{{"text", text}}));
  });
  desktop::VoiceSettings settings;
  settings.recognizer = desktop::VoiceSettings::Recognizer::http;
  settings.transcriptionUrl = standin.url();
  std::thread main([&] { io.run(); });
  auto onMain = [&](auto f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    boost::asio::post(io, [&task] { task(); });
    return result.get();
  };
  auto session = onMain([&] {
    auto made =
        std::make_unique<desktop::VoiceSession>(settings, io.get_executor(), pool.get_executor());
    made->onMetaCommand = [&](const std::string& name) {
      std::lock_guard lock(mutex);
      if (name == "stop")
        acted = Clock::now();
      else
        ++figures.taken;
    };
    made->onPrompt = [&](const std::string&) {
      std::lock_guard lock(mutex);
      ++figures.taken;
    };
    return made;
  });
  std::string failure;
  if (std::string error; !onMain([&] { return session->start(error); }))
    failure = error;
  test::Room room(daemon, 40ms, 0.5f);
  if (failure.empty() && !room.problem().empty())
    failure = room.problem();
  if (failure.empty() &&
      !test::waitUntil([&] { return onMain([&] { return session->isListening(); }); }))
    failure = "the session did not start listening";
  for (int round = 0; round <= kRounds && failure.empty(); ++round) {
    {
      std::lock_guard lock(mutex);
      acted.reset();
    }
    onMain([&] {
      session->speak(
          "I changed three files and all the tests pass, with no warnings. The build takes four "
          "minutes on this machine, and the slowest step is linking the test programs.");
      return 0;
    });
    if (!test::waitUntil([&] { return room.playingFor() > 2s; }, 20s)) {
      failure = "the reply was not heard";
      break;
    }
    room.say(stop);
    std::optional<Clock::time_point> said;
    if (!test::waitUntil([&] { return (said = room.saidAt()).has_value(); }, 10s) ||
        !test::waitUntil(
            [&] {
              std::lock_guard lock(mutex);
              return acted.has_value();
            },
            10s)) {
      // The reply plays to its end; the next round starts after it.
      test::waitUntil([&] { return !onMain([&] { return session->isSpeaking(); }); }, 30s);
      if (round > 0)
        ++figures.missed;
      continue;
    }
    // Playback has stopped once the speakers have been quiet for a while.
    test::waitUntil([&] { return Clock::now() - room.lastPlayed().value_or(Clock::now()) > 800ms; },
                    10s);
    if (round == 0)
      continue;  // the first round warms the model and the server up
    std::lock_guard lock(mutex);
    figures.toSilence.push_back(millis(*room.lastPlayed() - *said));
    figures.toCut.push_back(millis(*acted - *said));
    figures.transcribe.push_back(lastAnswer);
  }
  onMain([&] {
    session.reset();
    return 0;
  });
  work.reset();
  main.join();
  pool.join();
  if (!failure.empty())
    throw std::runtime_error(failure);
  return figures;
}

void BM_StopSaidOverSpeech(benchmark::State& state) {
  Figures figures;
  for (auto _ : state) {
    try {
      figures = measure();
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
  }
  if (figures.toCut.empty()) {
    state.SkipWithError("\"stop\" was never acted on");
    return;
  }
  state.counters["to_cut_p50_ms"] = percentile(figures.toCut, 0.5);
  state.counters["to_cut_max_ms"] = percentile(figures.toCut, 1.0);
  state.counters["to_silence_p50_ms"] = percentile(figures.toSilence, 0.5);
  char line[600];
  std::snprintf(line, sizeof line,
                "end of \"stop\" said over Parley -> playback cut (the stop acted on, the server's "
                "buffer dropped), %zu of %d rounds (%d missed): p50 %.0f ms, max %.0f ms (target "
                "300 ms); -> last sound from the speakers p50 %.0f ms (earlier when the word fell "
                "in a pause of ours); the stand-in's answer p50 %.0f ms; own words taken as the "
                "person's: %d",
                figures.toCut.size(), kRounds, figures.missed, percentile(figures.toCut, 0.5),
                percentile(figures.toCut, 1.0), percentile(figures.toSilence, 0.5),
                percentile(figures.transcribe, 0.5), figures.taken);
  std::cout << "\n== talk over: " << line << '\n';
}
BENCHMARK(BM_StopSaidOverSpeech)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
