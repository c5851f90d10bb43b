// Desktop voice figures that need no sound server: how soon espeak-ng has a
// 20-word sentence ready to play, what listening to silence costs the
// recogniser per second of audio (the share of one core), alone and with
// echo cancellation while Parley speaks, and how many of a fixed set of
// spoken commands pocketsphinx gets right, with and without the command
// grammar's second look. The commands are rendered by espeak-ng, so
// the accuracy is that of a synthetic voice, a floor for a person's.

#include <benchmark/benchmark.h>

#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <ctime>

#include "desktop/audio_player.hpp"
#include "desktop/echo_canceller.hpp"
#include "desktop/espeak_synthesizer.hpp"
#include "desktop/pocketsphinx_recognizer.hpp"
#include "desktop/utterance_cutter.hpp"
#include "voice/speech_tokens.hpp"

namespace {

using namespace parley;

constexpr const char* modelDir = "/usr/share/pocketsphinx/model/en-us";

const char* const twentyWords =
    "The tests passed on the second run, and I pushed the branch so you can review the change.";

// Time from the text to the first block of samples ready for the player.
void BM_EspeakTimeToFirstAudio(benchmark::State& state) {
  desktop::EspeakSynthesizer::synthesize("warm up", std::nullopt, "en-US", 1.0f);
  for (auto _ : state) {
    auto audio = desktop::EspeakSynthesizer::synthesize(twentyWords, std::nullopt, "en-US", 1.0f);
    auto played = audio.resampled(48000);
    benchmark::DoNotOptimize(played.samples.data());
  }
}
BENCHMARK(BM_EspeakTimeToFirstAudio)->Unit(benchmark::kMillisecond);

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Ten seconds of quiet room noise through each backend's listening path;
// the counter is CPU seconds per second of audio, as a percentage of a core.
void BM_ListeningToSilence(benchmark::State& state) {
  const bool pocketsphinx = state.range(0) == 1;
  std::vector<float> noise(16000 * 10);
  std::uint32_t seed = 1;
  for (auto& sample : noise) {
    seed = seed * 1664525u + 1013904223u;
    sample = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.002f;
  }
  boost::asio::thread_pool pool(1);
  auto recognizer =
      std::make_shared<desktop::PocketsphinxRecognizer>(modelDir, pool.get_executor());
  if (pocketsphinx && !recognizer->prepare("en-US")) {
    state.SkipWithError("no pocketsphinx model");
    return;
  }
  desktop::UtteranceCutter cutter;
  double cpu = 0;
  for (auto _ : state) {
    const double before = cpuSeconds();
    if (pocketsphinx) {
      std::vector<std::int16_t> samples(noise.size());
      for (std::size_t i = 0; i < noise.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(noise[i] * 32767.0f);
      }
      benchmark::DoNotOptimize(recognizer->decode(samples));
    } else {
      for (std::size_t at = 0; at < noise.size(); at += 320) {
        benchmark::DoNotOptimize(cutter.push(std::span(noise).subspan(at, 320)));
      }
    }
    cpu += cpuSeconds() - before;
  }
  state.counters["core%"] = 100.0 * cpu / (10.0 * static_cast<double>(state.iterations()));
  pool.join();
}
BENCHMARK(BM_ListeningToSilence)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"pocketsphinx"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// The listening path with echo cancellation while Parley speaks (its worst
// case: both of the canceller's streams busy): ten seconds of our speech
// handed to the player and of room noise from the microphone, through the
// canceller and the cutter. The counter is the share of one core.
void BM_ListeningWithEchoCancellation(benchmark::State& state) {
  const auto speech =
      desktop::EspeakSynthesizer::synthesize(twentyWords, std::nullopt, "en-US", 1.0f)
          .resampled(desktop::AudioPlayer::sampleRate)
          .samples;
  std::vector<float> noise(16000 * 10);
  std::uint32_t seed = 1;
  for (auto& sample : noise) {
    seed = seed * 1664525u + 1013904223u;
    sample = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.002f;
  }
  desktop::EchoCanceller canceller(desktop::AudioPlayer::sampleRate);
  if (!canceller.available()) {
    state.SkipWithError("echo cancellation is unavailable");
    return;
  }
  desktop::UtteranceCutter cutter;
  constexpr std::size_t renderBlock = desktop::AudioPlayer::sampleRate / 50;
  double cpu = 0;
  for (auto _ : state) {
    const double before = cpuSeconds();
    // On a clock of its own, 20 ms a block, as the microphone hears them.
    auto clock = desktop::EchoCanceller::Clock::now();
    for (std::size_t at = 0, played = 0; at < noise.size(); at += 320, played += renderBlock) {
      played %= speech.size() - renderBlock;
      canceller.render(std::span(speech).subspan(played, renderBlock), clock);
      clock += std::chrono::milliseconds(20);
      benchmark::DoNotOptimize(
          cutter.push(canceller.capture(std::span(noise).subspan(at, 320), clock)));
    }
    cpu += cpuSeconds() - before;
  }
  state.counters["core%"] = 100.0 * cpu / (10.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ListeningWithEchoCancellation)->Iterations(3)->Unit(benchmark::kMillisecond);

const std::vector<std::string> commands{
    "stop",
    "stop talking",
    "be quiet",
    "hold on",
    "wait",
    "pause",
    "continue",
    "go on",
    "keep going",
    "resume",
    "repeat",
    "say that again",
    "what",
    "what was that",
    "again",
    "send it",
    "send that",
    "go ahead",
    "submit",
    "scratch that",
    "never mind",
    "cancel",
    "yes",
    "yeah",
    "do it",
    "approve",
    "no",
    "do not",
    "deny",
    "run the tests",
    "fix the bug",
    "commit the change",
    "open the file",
    "show me the diff",
};

// Share of the commands whose recognised words equal the words said.
void BM_PocketsphinxCommandAccuracy(benchmark::State& state) {
  const bool hints = state.range(0) == 1;
  boost::asio::thread_pool pool(1);
  auto recognizer =
      std::make_shared<desktop::PocketsphinxRecognizer>(modelDir, pool.get_executor(), hints);
  if (!recognizer->prepare("en-US")) {
    state.SkipWithError("no pocketsphinx model");
    return;
  }
  std::vector<std::vector<std::int16_t>> recordings;
  for (const auto& command : commands) {
    auto audio = desktop::EspeakSynthesizer::synthesize(command, std::nullopt, "en-US", 1.0f)
                     .resampled(16000);
    std::vector<std::int16_t> samples(8000, 0);
    samples.insert(samples.end(), audio.samples.begin(), audio.samples.end());
    samples.insert(samples.end(), 8000, 0);
    recordings.push_back(std::move(samples));
  }
  int right = 0;
  for (auto _ : state) {
    right = 0;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const auto heard = voice::SpeechTokens::tokenize(recognizer->decode(recordings[i]));
      if (heard == voice::SpeechTokens::tokenize(commands[i]))
        ++right;
    }
  }
  state.counters["correct"] = right;
  state.counters["of"] = static_cast<double>(commands.size());
  state.counters["accuracy%"] = 100.0 * right / static_cast<double>(commands.size());
  pool.join();
}
BENCHMARK(BM_PocketsphinxCommandAccuracy)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"hints"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
