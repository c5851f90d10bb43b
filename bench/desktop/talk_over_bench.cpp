// Talking over Parley: the voice session reads a reply out on a private
// PulseAudio daemon, whose speakers reach its microphone 40 ms later at half
// the level (a room), and two seconds in the person says "stop". Measured
// from the end of the word going into the microphone: to playback cut (the
// session has acted on the command; the tenth of a second the server holds
// still plays), and to the last sound heard from the speakers. The transcription
// stand-in knows the word by its waveform and answers at once, so what is
// measured is Parley's part: the canceller, the cutter's release, the upload
// and the cut; a real transcription server adds its own time. Anything else
// uploaded is answered with Parley's own "no", which must never be taken.
//
// Beside it, how much of our speech the canceller takes out of the
// microphone in the first 300 ms of each reply, when replies come one after
// another with pauses between them as they do in a conversation: the player
// and the canceller as the session joins them, in the same room.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <cmath>
#include <cstring>
#include <future>
#include <iostream>
#include <mutex>

#include "desktop/audio_input.hpp"
#include "desktop/audio_player.hpp"
#include "desktop/echo_canceller.hpp"
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
  std::vector<double> toCut;       // end of "stop" -> the stop acted on, playback cut
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
  // Each upload, for a round that was slow or missed: when it came, how long
  // a stretch of sound it held, and how much of the word was in it.
  struct Upload {
    Clock::time_point at;
    double seconds;
    double likeness;
  };
  std::vector<Upload> uploads;
  test::HttpStandin standin([&](const test::HttpStandin::Request& request) {
    const auto began = Clock::now();
    const auto samples = test::HttpStandin::uploadedSamples(request.body());
    const double likeness = test::Room::likeness(samples, stop);
    const std::string text = likeness > 0.5 ? "Stop." : "No.";
    std::lock_guard lock(mutex);
    uploads.push_back({began, static_cast<double>(samples.size()) / 16000.0, likeness});
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
  auto report = [&](int round, std::optional<Clock::time_point> said) {
    std::lock_guard lock(mutex);
    const auto at = acted;
    if (said && at && *at - *said < 300ms)
      return;
    std::cerr << "round " << round << ": "
              << (at && said ? "acted on " + std::to_string(std::lround(millis(*at - *said))) +
                                   " ms after the word"
                             : std::string("missed"));
    for (const auto& upload : uploads)
      std::cerr << "; upload at "
                << (said ? std::to_string(std::lround(millis(upload.at - *said))) : "?") << " ms, "
                << upload.seconds << " s, likeness " << upload.likeness;
    std::cerr << '\n';
  };
  for (int round = 0; round <= kRounds && failure.empty(); ++round) {
    {
      std::lock_guard lock(mutex);
      acted.reset();
      uploads.clear();
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
      report(round, said);
      continue;
    }
    // Playback has stopped once the speakers have been quiet for a while.
    test::waitUntil([&] { return Clock::now() - room.lastPlayed().value_or(Clock::now()) > 800ms; },
                    10s);
    report(round, said);
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
  state.counters["to_silence_max_ms"] = percentile(figures.toSilence, 1.0);
  char line[700];
  std::snprintf(line, sizeof line,
                "end of \"stop\" said over Parley -> playback cut (the stop acted on), %zu of %d "
                "rounds (%d missed): p50 %.0f ms, p95 %.0f ms, max %.0f ms; -> last sound from "
                "the speakers (target 300 ms) p50 %.0f ms, p95 %.0f ms, max %.0f ms (earlier when "
                "the word fell in a pause of ours); the stand-in's answer p50 %.0f ms; own words "
                "taken as the person's: %d",
                figures.toCut.size(), kRounds, figures.missed, percentile(figures.toCut, 0.5),
                percentile(figures.toCut, 0.95), percentile(figures.toCut, 1.0),
                percentile(figures.toSilence, 0.5), percentile(figures.toSilence, 0.95),
                percentile(figures.toSilence, 1.0), percentile(figures.transcribe, 0.5),
                figures.taken);
  std::cout << "\n== talk over: " << line << '\n';
}
BENCHMARK(BM_StopSaidOverSpeech)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

double levelDB(std::span<const float> samples) {
  double power = 1e-12;
  for (const float s : samples)
    power += static_cast<double>(s) * s / static_cast<double>(samples.size());
  return 10.0 * std::log10(power);
}

struct ReplyStarts {
  std::vector<double> startDB;  // taken out in each reply's first 300 ms
  double learntDB = 0;          // taken out of the long first reply, from a second in
  double idleCore = 0;          // the process's share of a core between replies
};

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

ReplyStarts measureReplyStarts() {
  test::PulseDaemon daemon;
  if (!daemon.problem().empty())
    throw std::runtime_error(daemon.problem());
  test::Room room(daemon, 40ms, 0.5f);
  if (!room.problem().empty())
    throw std::runtime_error(room.problem());
  auto canceller = desktop::EchoCanceller::make(desktop::AudioPlayer::sampleRate);
  if (!canceller)
    throw std::runtime_error("echo cancellation is unavailable");
  desktop::AudioPlayer player;
  player.setTap([&](auto samples, auto playsAt) { canceller->render(samples, playsAt); });
  ReplyStarts figures;
  std::mutex mutex;
  std::vector<float> heard;    // what the microphone heard
  std::vector<float> cleaned;  // the same with our speech taken out, sample for sample
  desktop::AudioInput input;
  std::string error;
  if (!input.start(
          [&](std::span<const float> samples) {
            auto out = canceller->capture(samples);
            std::lock_guard lock(mutex);
            heard.insert(heard.end(), samples.begin(), samples.end());
            cleaned.insert(cleaned.end(), out.begin(), out.end());
          },
          error))
    throw std::runtime_error(error);
  // Every other reply is cut short a second in, as "stop" does.
  auto play = [&](const std::string& text, bool cut) {
    std::promise<void> played;
    player.play(desktop::EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f),
                [&](const std::string&) { played.set_value(); });
    if (cut) {
      test::waitUntil([&] { return room.playingFor() > 1s; }, 10s);
      player.cut();
    }
    played.get_future().wait();
    // A pause in the conversation: the person reads, thinks, answers.
    test::waitUntil([&] { return Clock::now() - room.lastPlayed().value_or(Clock::now()) > 2s; },
                    10s);
  };
  // The room is learnt over a long reply first, as in any conversation.
  play(
      "I changed three files and all the tests pass, with no warnings. The build takes four "
      "minutes on this machine.",
      false);
  constexpr int replies = 8;
  for (int i = 0; i < replies; ++i)
    play("Counted. The branch is pushed, and the tests pass.", i % 2 == 1);
  // Listening while nothing is said: the microphone through the canceller,
  // and the player keeping its stream going with silence.
  const double cpuBefore = cpuSeconds();
  const auto idleFrom = Clock::now();
  test::waitUntil([] { return false; }, 3s);
  figures.idleCore =
      (cpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - idleFrom).count();
  input.stop();
  player.cut();

  // A reply starts where the microphone turns loud after a second's quiet.
  constexpr std::size_t frame = 160;
  constexpr double loudDB = -45.0;
  std::lock_guard lock(mutex);
  const std::size_t frames = std::min(heard.size(), cleaned.size()) / frame;
  std::size_t quiet = 0;
  bool first = true;
  for (std::size_t f = 0; f < frames; ++f) {
    const auto at = std::span(heard).subspan(f * frame, frame);
    if (levelDB(at) < loudDB) {
      ++quiet;
      continue;
    }
    if (quiet >= 100 && f + 200 <= frames) {
      auto span = [&](const std::vector<float>& v, std::size_t from, std::size_t count) {
        return std::span(v).subspan(from * frame, count * frame);
      };
      if (first)
        figures.learntDB =
            levelDB(span(heard, f + 100, 100)) - levelDB(span(cleaned, f + 100, 100));
      else
        figures.startDB.push_back(levelDB(span(heard, f, 30)) - levelDB(span(cleaned, f, 30)));
      first = false;
    }
    quiet = 0;
  }
  return figures;
}

void BM_EchoAtReplyStarts(benchmark::State& state) {
  ReplyStarts figures;
  for (auto _ : state) {
    try {
      figures = measureReplyStarts();
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
  }
  if (figures.startDB.empty()) {
    state.SkipWithError("no reply was heard by the microphone");
    return;
  }
  state.counters["start_min_db"] = percentile(figures.startDB, 0.0);
  state.counters["start_p50_db"] = percentile(figures.startDB, 0.5);
  std::string each;
  for (const double db : figures.startDB)
    each.append(std::to_string(static_cast<int>(std::lround(db)))).append(" ");
  state.counters["idle_core_pct"] = 100.0 * figures.idleCore;
  char line[600];
  std::snprintf(line, sizeof line,
                "our speech taken out of the microphone in the first 300 ms of a reply after a "
                "pause, %zu replies (every other one after a cut reply): min %.1f dB, p50 %.1f "
                "dB (each: %s); in the first, long reply from a second in: %.1f dB; listening "
                "between replies (the room's thread included): %.2f%% of a core",
                figures.startDB.size(), percentile(figures.startDB, 0.0),
                percentile(figures.startDB, 0.5), each.c_str(), figures.learntDB,
                100.0 * figures.idleCore);
  std::cout << "\n== echo at reply starts: " << line << '\n';
}
BENCHMARK(BM_EchoAtReplyStarts)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
