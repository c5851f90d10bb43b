#include "room.hpp"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace parley::test {
namespace {

constexpr std::size_t block = 16000 / 50;
// A pause between words is not the end of playing.
constexpr auto playingGap = std::chrono::milliseconds(500);

}  // namespace

Room::Room(PulseDaemon& daemon, std::chrono::milliseconds delay, float gain)
    : delaySamples_(static_cast<std::size_t>(16 * delay.count())), gain_(gain) {
  const pa_sample_spec format{PA_SAMPLE_S16LE, 16000, 1};
  // Small fragments: the room hears the speakers within 20 ms.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(block * sizeof(std::int16_t));
  int error = 0;
  monitor_ = pa_simple_new(daemon.server().c_str(), "room", PA_STREAM_RECORD, "speakers.monitor",
                           "what the room hears", &format, nullptr, &attr, &error);
  if (!monitor_) {
    problem_ = std::string("the speakers' monitor cannot be recorded: ") + pa_strerror(error);
    return;
  }
  thread_ = std::thread([this, &daemon] { run(daemon); });
}

Room::~Room() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  if (monitor_)
    pa_simple_free(monitor_);
}

void Room::say(const std::vector<std::int16_t>& samples) {
  std::lock_guard lock(mutex_);
  toSay_.insert(toSay_.end(), samples.begin(), samples.end());
  saidAt_.reset();
}

std::optional<Room::Clock::time_point> Room::saidAt() {
  std::lock_guard lock(mutex_);
  return saidAt_;
}

Room::Clock::duration Room::playingFor() {
  std::lock_guard lock(mutex_);
  if (!playingSince_ || !lastPlayed_ || Clock::now() - *lastPlayed_ > playingGap)
    return Clock::duration::zero();
  return *lastPlayed_ - *playingSince_;
}

std::optional<Room::Clock::time_point> Room::lastPlayed() {
  std::lock_guard lock(mutex_);
  return lastPlayed_;
}

double Room::likeness(const std::vector<std::int16_t>& heardIn,
                      const std::vector<std::int16_t>& clipIn) {
  // At half the rate (pairs averaged), which keeps a voice's formants and
  // takes a quarter of the time.
  auto halved = [](const std::vector<std::int16_t>& samples) {
    std::vector<double> out(samples.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = (static_cast<double>(samples[2 * i]) + samples[2 * i + 1]) / 2.0;
    return out;
  };
  const auto heard = halved(heardIn);
  const auto clip = halved(clipIn);
  if (clip.empty() || heard.size() < clip.size())
    return 0.0;
  double clipPower = 0;
  for (const double s : clip)
    clipPower += s * s;
  // The power of the stretch of `heard` under the clip, slid along.
  double windowPower = 0;
  for (std::size_t i = 0; i < clip.size(); ++i)
    windowPower += heard[i] * heard[i];
  double best = 0;
  for (std::size_t lag = 0; lag + clip.size() <= heard.size(); ++lag) {
    if (lag > 0) {
      const double left = heard[lag - 1];
      const double entered = heard[lag + clip.size() - 1];
      windowPower += entered * entered - left * left;
    }
    double product = 0;
    for (std::size_t i = 0; i < clip.size(); ++i)
      product += heard[lag + i] * clip[i];
    if (windowPower > 0 && clipPower > 0)
      best = std::max(best, product / std::sqrt(windowPower * clipPower));
  }
  return best;
}

void Room::run(PulseDaemon& daemon) {
  std::deque<std::int16_t> line(delaySamples_, 0);  // sound on its way across the room
  std::vector<std::int16_t> heard(block);
  std::uint32_t seed = 11;
  while (!stop_) {
    int error = 0;
    // Blocks for the next 20 ms of the speakers: the server's clock paces us.
    if (pa_simple_read(monitor_, heard.data(), heard.size() * sizeof(std::int16_t), &error) < 0)
      return;
    const auto now = Clock::now();
    const bool loud = std::any_of(heard.begin(), heard.end(), [](std::int16_t s) {
      return std::abs(static_cast<int>(s)) > 64;
    });
    line.insert(line.end(), heard.begin(), heard.end());
    std::vector<std::int16_t> mic(block);
    std::lock_guard lock(mutex_);
    if (loud) {
      if (!lastPlayed_ || now - *lastPlayed_ > playingGap)
        playingSince_ = now;
      lastPlayed_ = now;
    }
    const bool saying = !toSay_.empty();
    for (auto& sample : mic) {
      seed = seed * 1664525u + 1013904223u;
      float value = gain_ * static_cast<float>(line.front()) +
                    static_cast<float>(static_cast<int>(seed >> 24) - 128) * 0.3f;
      line.pop_front();
      if (!toSay_.empty()) {
        value += static_cast<float>(toSay_.front());
        toSay_.pop_front();
      }
      sample = static_cast<std::int16_t>(std::clamp(value, -32768.0f, 32767.0f));
    }
    daemon.speak(mic);
    if (saying && toSay_.empty())
      saidAt_ = Clock::now();
  }
}

}  // namespace parley::test
