// The cutter in a room: espeak-ng's speech over noise made here, steady and
// fluctuating, at the levels of a quiet fan up to a loud one.

#include "desktop/utterance_cutter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "desktop/espeak_synthesizer.hpp"
#include "room.hpp"

namespace parley::desktop {
namespace {

constexpr std::size_t rate = UtteranceCutter::sampleRate;

std::vector<float> speech(const std::string& text) {
  std::vector<float> samples;
  for (const auto s :
       EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f).resampled(rate).samples)
    samples.push_back(static_cast<float>(s) / 32768.0f);
  return samples;
}

// The word from its first sound to its last, without the synthesiser's quiet.
std::vector<float> word(const std::string& text) {
  auto samples = speech(text);
  auto loud = [](float s) { return std::abs(s) > 0.01f; };
  samples.erase(std::find_if(samples.rbegin(), samples.rend(), loud).base(), samples.end());
  samples.erase(samples.begin(), std::find_if(samples.begin(), samples.end(), loud));
  return samples;
}

std::vector<std::int16_t> pcm(const std::vector<float>& samples) {
  std::vector<std::int16_t> out;
  for (const float s : samples)
    out.push_back(static_cast<std::int16_t>(std::clamp(s, -1.0f, 1.0f) * 32767.0f));
  return out;
}

std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * rate), 0.0f);
}

// Gaussian noise at `dbfs` RMS. Pink falls 3 dB an octave, like most rooms;
// fluctuating is white noise whose level jumps by up to 6 dB either way every
// 200 ms, like traffic or a fan changing speed.
enum class Noise { white, pink, fluctuating };

std::vector<float> noise(Noise kind, float dbfs, double seconds, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_real_distribution<float> step(-6.0f, 6.0f);
  std::vector<float> samples(static_cast<std::size_t>(seconds * rate));
  float b0 = 0, b1 = 0, b2 = 0, gain = 1.0f;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const float white = gauss(random);
    if (kind == Noise::pink) {
      b0 = 0.99765f * b0 + white * 0.0990460f;
      b1 = 0.96300f * b1 + white * 0.2965164f;
      b2 = 0.57000f * b2 + white * 1.0526913f;
      samples[i] = (b0 + b1 + b2 + white * 0.1848f) * 0.2f;
    } else {
      if (kind == Noise::fluctuating && i % (rate / 5) == 0)
        gain = std::pow(10.0f, step(random) / 20.0f);
      samples[i] = white * gain;
    }
  }
  double power = 0;
  for (const float s : samples)
    power += static_cast<double>(s) * s;
  const auto scale =
      static_cast<float>(std::pow(10.0, dbfs / 20.0) / std::sqrt(power / samples.size()));
  for (auto& s : samples)
    s *= scale;
  return samples;
}

std::vector<float> operator+(std::vector<float> a, const std::vector<float>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// `over` added into `base` from sample `at` on.
std::vector<float> mixed(std::vector<float> base, const std::vector<float>& over, std::size_t at) {
  for (std::size_t i = 0; i < over.size() && at + i < base.size(); ++i)
    base[at + i] += over[i];
  return base;
}

// What the cutter made of `audio`, fed in the microphone's 20 ms blocks.
std::vector<UtteranceCutter::Utterance> heard(UtteranceCutter& cutter,
                                              const std::vector<float>& audio) {
  std::vector<UtteranceCutter::Utterance> utterances;
  for (std::size_t at = 0; at < audio.size(); at += 320) {
    const auto block = std::span(audio).subspan(at, std::min<std::size_t>(320, audio.size() - at));
    for (auto& event : cutter.push(block))
      if (event.utterance)
        utterances.push_back(std::move(*event.utterance));
  }
  return utterances;
}

double seconds(const UtteranceCutter::Utterance& utterance) {
  return static_cast<double>(utterance.samples.size()) / rate;
}

TEST(UtteranceCutter, NoiseBecomesTheFloorAndOnlySpeechOverItIsAnUtterance) {
  const auto words = speech("delete the build folder");
  const double spoken = static_cast<double>(words.size()) / rate;
  for (const auto kind : {Noise::white, Noise::pink, Noise::fluctuating}) {
    for (const float level : {-60.0f, -50.0f, -40.0f}) {
      SCOPED_TRACE(testing::Message() << "noise " << static_cast<int>(kind) << " at " << level);
      UtteranceCutter cutter;
      // The fan starts after digital silence and runs on; nothing it makes
      // is an utterance, and within a few seconds it is the floor (which
      // follows its quieter frames, and a fluctuating noise's quieter
      // stretches, below its RMS level).
      EXPECT_TRUE(heard(cutter, silence(1) + noise(kind, level, 5)).empty());
      EXPECT_NEAR(cutter.noiseFloorDB(), level - 2.0f, kind == Noise::fluctuating ? 6.0f : 3.0f);
      // Someone speaks over it: that alone is cut, without the noise after.
      const auto room = noise(kind, level, 1 + spoken + 3, 11);
      const auto utterances = heard(cutter, mixed(room, words, rate));
      ASSERT_EQ(utterances.size(), 1u);
      EXPECT_GE(seconds(utterances[0]), spoken);
      EXPECT_LE(seconds(utterances[0]), spoken + 1.5);
    }
  }
}

TEST(UtteranceCutter, NoiseStartingMidSentenceEndsTheUtteranceWithTheSpeech) {
  const auto words = speech("delete the build folder and then run all the tests again");
  const double spoken = static_cast<double>(words.size()) / rate;
  const auto audio = mixed(silence(0.5) + words + silence(6), noise(Noise::white, -45, 8),
                           rate / 2 + words.size() / 2);
  UtteranceCutter cutter;
  const auto utterances = heard(cutter, audio);
  ASSERT_EQ(utterances.size(), 1u);
  EXPECT_GE(seconds(utterances[0]), spoken);
  EXPECT_LE(seconds(utterances[0]), spoken + 1.0);
  // It was handed over about a second after the speaker stopped.
  EXPECT_GE(utterances[0].trailingQuiet, std::chrono::milliseconds(800));
  EXPECT_LE(utterances[0].trailingQuiet, std::chrono::milliseconds(1500));
  EXPECT_NEAR(cutter.noiseFloorDB(), -45.0f, 4.0f);
}

TEST(UtteranceCutter, AQuickEndHandsTheUtteranceOverAtTheFirstPause) {
  // Two phrases with a breath between them: one utterance, handed over after
  // the hangover; with a quick end, the first word alone, at the short gap
  // after it (a soft ending, as the last phrase's "s", may be left off: over
  // our speech only "stop" is taken).
  const auto audio =
      silence(0.5) + speech("stop talking") + silence(0.35) + speech("run the tests") + silence(1);
  for (const bool quick : {false, true}) {
    SCOPED_TRACE(quick);
    UtteranceCutter cutter;
    cutter.setQuickEnd(quick);
    const auto utterances = heard(cutter, mixed(audio, noise(Noise::pink, -60, 4), 0));
    // (With a quick end, "talking" may come in two pieces.)
    if (quick) {
      ASSERT_GE(utterances.size(), 3u);
    } else {
      ASSERT_EQ(utterances.size(), 1u);
    }
    const auto expectedQuiet = std::chrono::milliseconds(quick ? 120 : 450);
    EXPECT_EQ(utterances.front().trailingQuiet, expectedQuiet);
    EXPECT_EQ(utterances.back().trailingQuiet, expectedQuiet);
    if (quick) {
      EXPECT_LT(seconds(utterances.front()), 0.3 + 0.5 * seconds({word("stop talking"), {}}));
    }
  }
}

// The cutter's events over `audio` with where in it each utterance was
// handed over, in seconds.
std::vector<std::pair<double, UtteranceCutter::Utterance>> handedOver(
    UtteranceCutter& cutter, const std::vector<float>& audio) {
  std::vector<std::pair<double, UtteranceCutter::Utterance>> utterances;
  for (std::size_t at = 0; at < audio.size(); at += 320) {
    const auto block = std::span(audio).subspan(at, std::min<std::size_t>(320, audio.size() - at));
    for (auto& event : cutter.push(block))
      if (event.utterance)
        utterances.emplace_back(static_cast<double>(at + block.size()) / rate,
                                std::move(*event.utterance));
  }
  return utterances;
}

TEST(UtteranceCutter, AQuickEndDoesNotWaitForWhatTheCancellerLeavesOfOurSpeech) {
  // Our speech, 26 dB down, goes on under the person's word and after it:
  // loud enough over the room to hold the gate open.
  const auto stop = word("stop");
  auto ours = speech(
      "I changed three files and all the tests pass, with no warnings, and the build takes four "
      "minutes on this machine.");
  for (auto& s : ours)
    s *= 0.05f;
  const double wordAt = 1.5;
  const double wordEnd = wordAt + static_cast<double>(stop.size()) / rate;
  const auto audio = mixed(mixed(silence(0.5) + ours + silence(1), noise(Noise::pink, -60, 9), 0),
                           stop, static_cast<std::size_t>(wordAt * rate));
  for (const bool quick : {false, true}) {
    SCOPED_TRACE(quick);
    UtteranceCutter cutter;
    cutter.setQuickEnd(quick);
    const auto utterances = handedOver(cutter, audio);
    const auto withWord = std::find_if(utterances.begin(), utterances.end(), [&](const auto& u) {
      return test::Room::likeness(pcm(u.second.samples), pcm(stop)) > 0.8;
    });
    ASSERT_NE(withWord, utterances.end());
    // Without a quick end the word waits for the release and the hangover.
    if (quick)
      EXPECT_LT(withWord->first, wordEnd + 0.25);
    else
      EXPECT_GT(withWord->first, wordEnd + 0.45);
  }
}

TEST(UtteranceCutter, ADroppedCaptureLeavesTheFloorWhereItWas) {
  // The recogniser restarts while the person speaks: the rest of what they
  // say is still heard, not taken for the room's level.
  const auto words = speech("delete the build folder and then run all the tests again");
  const auto audio = silence(0.5) + words + silence(1);
  const std::size_t middle = rate / 2 + words.size() / 2;
  UtteranceCutter cutter;
  heard(cutter, std::vector<float>(audio.begin(), audio.begin() + middle));
  ASSERT_TRUE(cutter.capturing());
  cutter.drop();
  const auto rest = heard(cutter, std::vector<float>(audio.begin() + middle, audio.end()));
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_GE(seconds(rest[0]), static_cast<double>(words.size() / 2) / rate - 0.3);
}

}  // namespace
}  // namespace parley::desktop
