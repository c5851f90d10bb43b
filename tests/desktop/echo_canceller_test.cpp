// The canceller in a simulated room: our speech played at the player's rate,
// heard back by the microphone later and quieter, with a reflection, and the
// person's word over it.

#include "desktop/echo_canceller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "desktop/audio_player.hpp"
#include "desktop/espeak_synthesizer.hpp"

namespace parley::desktop {
namespace {

constexpr std::size_t micRate = EchoCanceller::captureRate;

PcmAudio spoken(const std::string& text) {
  return EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f);
}

std::vector<float> toFloat(const std::vector<std::int16_t>& samples) {
  std::vector<float> out;
  for (const auto s : samples)
    out.push_back(static_cast<float>(s) / 32768.0f);
  return out;
}

double levelDB(std::span<const float> samples) {
  double power = 1e-12;
  for (const float s : samples)
    power += static_cast<double>(s) * s / static_cast<double>(samples.size());
  return 10.0 * std::log10(power);
}

struct Room {
  std::vector<std::int16_t> played;  // at the player's rate
  std::vector<float> mic;            // what the microphone hears
  std::size_t wordAt = 0;
  std::size_t wordLength = 0;
};

// Two sentences of ours; the room hears them 60 ms after they are played, at half the level,
// with a reflection 20 ms after that, over faint noise; the person's "stop"
// comes in the middle of the second sentence.
Room room() {
  const PcmAudio speech = spoken(
      "I changed three files and all the tests pass. The build takes four minutes on this "
      "machine, and the slowest step is linking the tests.");
  Room room;
  room.played = speech.resampled(AudioPlayer::sampleRate).samples;
  const auto ours = toFloat(speech.resampled(static_cast<int>(micRate)).samples);
  const std::size_t delay = micRate * 60 / 1000;
  const std::size_t reflection = micRate * 20 / 1000;
  room.mic.assign(ours.size() + delay + reflection, 0.0f);
  std::uint32_t seed = 5;
  for (std::size_t i = 0; i < room.mic.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    room.mic[i] = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.001f;
    if (i >= delay && i - delay < ours.size())
      room.mic[i] += 0.5f * ours[i - delay];
    if (i >= delay + reflection && i - delay - reflection < ours.size())
      room.mic[i] += 0.2f * ours[i - delay - reflection];
  }
  const auto word = toFloat(spoken("stop").resampled(static_cast<int>(micRate)).samples);
  room.wordAt = room.mic.size() * 3 / 4;
  room.wordLength = word.size();
  for (std::size_t i = 0; i < word.size() && room.wordAt + i < room.mic.size(); ++i)
    room.mic[room.wordAt + i] += 0.5f * word[i];
  return room;
}

// Plays and captures in step, 20 ms at a time, as the player and the
// microphone do, on a clock of the room's own: each block is handed to the
// player 100 ms before it is played, as the server's buffer holds that much.
std::vector<float> cancel(EchoCanceller& canceller, const Room& room) {
  constexpr std::size_t renderBlock = AudioPlayer::sampleRate / 50;
  constexpr std::size_t captureBlock = micRate / 50;
  const auto start = EchoCanceller::Clock::now();
  const auto blockTime = std::chrono::milliseconds(20);
  std::vector<float> out;
  for (std::size_t block = 0; block * captureBlock < room.mic.size(); ++block) {
    for (std::size_t ahead = block == 0 ? 0 : 5; ahead <= 5; ++ahead) {
      const std::size_t renderAt = (block + ahead) * renderBlock;
      if (renderAt < room.played.size()) {
        canceller.render(
            std::span(room.played)
                .subspan(renderAt, std::min(renderBlock, room.played.size() - renderAt)),
            start + static_cast<int>(block + ahead) * blockTime);
      }
    }
    const std::size_t at = block * captureBlock;
    const auto cleaned = canceller.capture(
        std::span(room.mic).subspan(at, std::min(captureBlock, room.mic.size() - at)),
        start + static_cast<int>(block + 1) * blockTime);
    out.insert(out.end(), cleaned.begin(), cleaned.end());
  }
  return out;
}

TEST(EchoCanceller, TakesOurSpeechOutAndLeavesThePersonsWord) {
  EchoCanceller canceller(AudioPlayer::sampleRate);
  ASSERT_TRUE(canceller.available());
  const Room heard = room();
  const auto out = cancel(canceller, heard);
  ASSERT_EQ(out.size(), heard.mic.size() / 160 * 160);

  // After a second and a half to learn the room, our speech is at least
  // 25 dB down, both before the person's word and after it.
  const std::size_t learnt = micRate * 3 / 2;
  const auto before = std::span(heard.mic).subspan(learnt, heard.wordAt - learnt);
  const auto cleanedBefore = std::span(out).subspan(learnt, heard.wordAt - learnt);
  EXPECT_LT(levelDB(cleanedBefore), levelDB(before) - 25.0);
  const std::size_t after = heard.wordAt + heard.wordLength;
  EXPECT_LT(levelDB(std::span(out).subspan(after)),
            levelDB(std::span(heard.mic).subspan(after, out.size() - after)) - 25.0);

  // The word itself comes through within 10 dB of its level in the room.
  const auto word = toFloat(spoken("stop").resampled(static_cast<int>(micRate)).samples);
  std::vector<float> wordInRoom;
  for (const float s : word)
    wordInRoom.push_back(0.5f * s);
  EXPECT_GT(levelDB(std::span(out).subspan(heard.wordAt, heard.wordLength)),
            levelDB(wordInRoom) - 10.0);
}

TEST(EchoCanceller, CopesWithBadInputAndPassesSoundThroughWhenUnavailable) {
  const std::vector<float> mic{0.1f, -0.2f, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(), 4.0f};
  // A rate the processor refuses leaves it unavailable, and sound untouched.
  EchoCanceller refused(0);
  EXPECT_FALSE(refused.available());
  refused.render(std::vector<std::int16_t>(480, 1000), EchoCanceller::Clock::now());
  EXPECT_EQ(refused.capture(std::span(mic).first(2)),
            std::vector<float>(mic.begin(), mic.begin() + 2));

  // Junk and partial frames: whole frames come out, finite and in range.
  EchoCanceller canceller(AudioPlayer::sampleRate);
  ASSERT_TRUE(canceller.available());
  canceller.render({}, EchoCanceller::Clock::now());
  canceller.render(std::vector<std::int16_t>(7, -32768), EchoCanceller::Clock::now());
  std::size_t total = 0;
  for (int i = 0; i < 100; ++i) {
    const auto out = canceller.capture(mic);
    total += out.size();
    for (const float s : out)
      ASSERT_TRUE(std::isfinite(s) && s >= -1.0f && s <= 1.0f) << s;
  }
  EXPECT_EQ(total, 500u / 160u * 160u);
  EXPECT_TRUE(canceller.capture({}).empty());
}

}  // namespace
}  // namespace parley::desktop
