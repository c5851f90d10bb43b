#include "desktop/audio_player.hpp"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <memory>

namespace parley::desktop {

AudioPlayer::~AudioPlayer() {
  cut();
}

std::string AudioPlayer::playNow(const PcmAudio& audio, const std::atomic<bool>* cancel,
                                 const Tap& tap) {
  if (audio.empty())
    return "";
  const PcmAudio converted = audio.resampled(sampleRate);
  if (converted.empty())
    return "The speech could not be converted for playback.";
  const pa_sample_spec format{PA_SAMPLE_S16LE, sampleRate, 1};
  // A short server buffer keeps a cut prompt and the drain at the end short.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(sampleRate / 10 * sizeof(std::int16_t));
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  int error = 0;
  std::unique_ptr<pa_simple, decltype(&pa_simple_free)> stream(
      pa_simple_new(nullptr, "Parley", PA_STREAM_PLAYBACK, nullptr, "speech", &format, nullptr,
                    &attr, &error),
      &pa_simple_free);
  if (!stream)
    return std::string("The sound server refused playback: ") + pa_strerror(error);
  constexpr std::size_t chunk = sampleRate / 50;
  for (std::size_t at = 0; at < converted.samples.size(); at += chunk) {
    if (cancel && cancel->load()) {
      pa_simple_flush(stream.get(), &error);
      return "";
    }
    const std::size_t count = std::min(chunk, converted.samples.size() - at);
    if (pa_simple_write(stream.get(), converted.samples.data() + at, count * sizeof(std::int16_t),
                        &error) < 0) {
      return std::string("Playback failed: ") + pa_strerror(error);
    }
    if (tap) {
      // The server's latency runs to the last sample written; the block is
      // heard a block's length before that.
      const auto now = std::chrono::steady_clock::now();
      const pa_usec_t latency = pa_simple_get_latency(stream.get(), &error);
      const auto untilLast = latency == static_cast<pa_usec_t>(-1)
                                 ? std::chrono::microseconds(0)
                                 : std::chrono::microseconds(latency);
      const auto length = std::chrono::microseconds(count * 1000000 / sampleRate);
      tap(std::span(converted.samples).subspan(at, count),
          now + std::max(untilLast - length, std::chrono::microseconds(0)));
    }
  }
  if (pa_simple_drain(stream.get(), &error) < 0) {
    return std::string("Playback failed: ") + pa_strerror(error);
  }
  return "";
}

void AudioPlayer::join() {
  std::thread previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(thread_);
  }
  if (previous.joinable())
    previous.join();
}

void AudioPlayer::play(PcmAudio audio, std::function<void(const std::string&)> done) {
  cut();
  cancel_.store(false);
  playing_.store(true);
  std::lock_guard lock(mutex_);
  thread_ = std::thread([this, audio = std::move(audio), done = std::move(done)] {
    const std::string error = playNow(audio, &cancel_, tap_);
    playing_.store(false);
    if (done)
      done(error);
  });
}

void AudioPlayer::cut() {
  cancel_.store(true);
  join();
}

}  // namespace parley::desktop
