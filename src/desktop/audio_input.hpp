#pragma once

// Microphone capture from the sound server's default source, as 16 kHz mono
// float samples (the server converts from the device's own format). Blocks
// arrive on libpulse's own thread; the consumer must hand them on quickly.

#include <atomic>
#include <functional>
#include <span>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace parley::desktop {

class AudioInput {
 public:
  static constexpr int sampleRate = 16000;
  using Consumer = std::function<void(std::span<const float> samples)>;

  AudioInput() = default;
  ~AudioInput();
  AudioInput(const AudioInput&) = delete;
  AudioInput& operator=(const AudioInput&) = delete;

  // Opens the default source and starts delivering blocks to `consumer`.
  // Returns false with `error` set when the server or the source cannot be
  // used.
  bool start(Consumer consumer, std::string& error);
  // Stops delivery; no block reaches the consumer after it returns.
  void stop();
  bool isRunning() const { return loop_ != nullptr; }

  // The last block's level from 0 to 1, for meters.
  float level() const { return level_.load(); }

 private:
  static void onContextState(pa_context* context, void* self);
  static void onStreamState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);

  Consumer consumer_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  std::atomic<float> level_{0.0f};
};

}  // namespace parley::desktop
