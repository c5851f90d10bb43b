#include "desktop/audio_player.hpp"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace parley::desktop {
namespace {

using Clock = std::chrono::steady_clock;
using Stream = std::unique_ptr<pa_simple, decltype(&pa_simple_free)>;

// Blocks of 20 ms: a cut waits for at most one of them.
constexpr std::size_t chunk = AudioPlayer::sampleRate / 50;

Stream openStream(std::string& error) {
  const pa_sample_spec format{PA_SAMPLE_S16LE, AudioPlayer::sampleRate, 1};
  // A short server buffer keeps a cut prompt and the drain at the end short.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(AudioPlayer::sampleRate / 10 * sizeof(std::int16_t));
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  int code = 0;
  Stream stream(pa_simple_new(nullptr, "Parley", PA_STREAM_PLAYBACK, nullptr, "speech", &format,
                              nullptr, &attr, &code),
                &pa_simple_free);
  if (!stream)
    error = std::string("The sound server refused playback: ") + pa_strerror(code);
  return stream;
}

// Writes one block; returns when its first sample will leave the speakers,
// or none with `error` set.
std::optional<Clock::time_point> write(pa_simple* stream, std::span<const std::int16_t> block,
                                       std::string& error) {
  int code = 0;
  if (pa_simple_write(stream, block.data(), block.size_bytes(), &code) < 0) {
    error = std::string("Playback failed: ") + pa_strerror(code);
    return std::nullopt;
  }
  // The server's latency runs to the last sample written; the block is heard
  // a block's length before that.
  const auto now = Clock::now();
  const pa_usec_t latency = pa_simple_get_latency(stream, &code);
  const auto untilLast = latency == static_cast<pa_usec_t>(-1) ? std::chrono::microseconds(0)
                                                               : std::chrono::microseconds(latency);
  const auto length = std::chrono::microseconds(block.size() * 1000000 / AudioPlayer::sampleRate);
  return now + std::max(untilLast - length, std::chrono::microseconds(0));
}

}  // namespace

AudioPlayer::~AudioPlayer() {
  close();
}

std::string AudioPlayer::playNow(const PcmAudio& audio, const std::atomic<bool>* cancel,
                                 const Tap& tap) {
  if (audio.empty())
    return "";
  const PcmAudio converted = audio.resampled(sampleRate);
  if (converted.empty())
    return "The speech could not be converted for playback.";
  std::string error;
  const Stream stream = openStream(error);
  if (!stream)
    return error;
  const std::span<const std::int16_t> samples(converted.samples);
  for (std::size_t at = 0; at < samples.size(); at += chunk) {
    int code = 0;
    if (cancel && cancel->load()) {
      pa_simple_flush(stream.get(), &code);
      return "";
    }
    const auto block = samples.subspan(at, std::min(chunk, samples.size() - at));
    const auto playsAt = write(stream.get(), block, error);
    if (!playsAt)
      return error;
    if (tap)
      tap(block, *playsAt);
  }
  if (int code = 0; pa_simple_drain(stream.get(), &code) < 0)
    return std::string("Playback failed: ") + pa_strerror(code);
  return "";
}

void AudioPlayer::open() {
  std::unique_lock lock(mutex_);
  if (running_)
    return;
  lock.unlock();
  // A thread whose stream failed has ended, or is about to.
  if (thread_.joinable())
    thread_.join();
  lock.lock();
  running_ = true;
  closing_ = false;
  cutRequested_ = false;
  thread_ = std::thread([this] { run(); });
}

void AudioPlayer::play(PcmAudio audio, Done done) {
  cut();
  open();
  std::unique_lock lock(mutex_);
  if (!running_) {
    // The stream failed as soon as it was opened.
    const std::string error = lastError_;
    lock.unlock();
    if (done)
      done(error);
    return;
  }
  playing_.store(true);
  next_ = Job{std::move(audio), std::move(done)};
}

void AudioPlayer::cut() {
  std::unique_lock lock(mutex_);
  if (!running_)
    return;
  cutRequested_ = true;
  served_.wait(lock, [this] { return !cutRequested_ || !running_; });
}

void AudioPlayer::close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  if (thread_.joinable())
    thread_.join();
}

void AudioPlayer::run() {
  std::string error;
  const Stream stream = openStream(error);
  // What is playing: its samples at our rate, how far it has been written,
  // and when its last sample leaves the speakers once all are written.
  std::vector<std::int16_t> samples;
  std::size_t at = 0;
  Done done;
  std::optional<Clock::time_point> endsAt;
  auto finish = [&](const std::string& why) {
    samples.clear();
    at = 0;
    endsAt.reset();
    playing_.store(false);
    if (auto finished = std::exchange(done, {}))
      finished(why);
  };
  const std::vector<std::int16_t> silence(chunk, 0);
  while (stream) {
    std::optional<Job> job;
    std::optional<Job> dropped;
    bool cutNow = false;
    {
      std::lock_guard lock(mutex_);
      if (closing_)
        break;
      cutNow = cutRequested_;
      (cutNow ? dropped : job) = std::exchange(next_, std::nullopt);
    }
    if (cutNow) {
      // What the server holds of it still plays, a tenth of a second at
      // most: a flush would shift the stream's timing against what the
      // canceller has learnt, and the replies after it would start with
      // our words getting through again.
      if (!samples.empty())
        finish("");
      if (dropped && dropped->done)
        dropped->done("");
      {
        std::lock_guard lock(mutex_);
        cutRequested_ = false;
      }
      served_.notify_all();
    }
    if (job) {
      // Audio at our rate is only copied. Converting takes a moment in
      // which the stream may run dry, so callers that can, convert first.
      done = std::move(job->done);
      samples = job->audio.resampled(sampleRate).samples;
      if (samples.empty()) {
        finish(job->audio.empty() ? "" : "The speech could not be converted for playback.");
        continue;
      }
      playing_.store(true);
    }
    const bool speaking = at < samples.size();
    const auto block = speaking ? std::span<const std::int16_t>(samples).subspan(
                                      at, std::min(chunk, samples.size() - at))
                                : std::span<const std::int16_t>(silence);
    const auto playsAt = write(stream.get(), block, error);
    if (!playsAt)
      break;
    if (tap_)
      tap_(block, *playsAt);
    if (speaking) {
      at += block.size();
      if (at == samples.size())
        endsAt = *playsAt + std::chrono::microseconds(block.size() * 1000000 / sampleRate);
    }
    if (endsAt && Clock::now() >= *endsAt)
      finish("");
  }
  // Closed, or the stream failed: what was playing or waiting ends with it.
  finish(error);
  std::optional<Job> left;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    cutRequested_ = false;
    lastError_ = error;
    left = std::exchange(next_, std::nullopt);
  }
  served_.notify_all();
  if (left && left->done)
    left->done(error);
  playing_.store(false);
}

}  // namespace parley::desktop
