#include "desktop/audio_input.hpp"

#include <pulse/pulseaudio.h>

#include "voice/energy_gate.hpp"

namespace parley::desktop {
namespace {

constexpr float meterFloorDB = -60.0f;

std::string serverError(pa_context* context) {
  return std::string("The sound server refused the microphone: ") +
         pa_strerror(pa_context_errno(context));
}

}  // namespace

AudioInput::~AudioInput() {
  stop();
}

void AudioInput::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioInput*>(self)->loop_, 0);
}

void AudioInput::onStreamState(pa_stream*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioInput*>(self)->loop_, 0);
}

void AudioInput::onRead(pa_stream* stream, std::size_t, void* data) {
  auto* self = static_cast<AudioInput*>(data);
  const void* bytes = nullptr;
  std::size_t size = 0;
  while (pa_stream_readable_size(stream) > 0) {
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0)
      return;
    if (bytes) {
      std::span<const float> samples(static_cast<const float*>(bytes), size / sizeof(float));
      self->level_.store(voice::EnergyGate::normalizedLevel(
          voice::EnergyGate::levelDB(samples, meterFloorDB), meterFloorDB));
      if (self->consumer_)
        self->consumer_(samples);
    }
    pa_stream_drop(stream);
  }
}

bool AudioInput::start(Consumer consumer, std::string& error) {
  if (loop_)
    return true;
  consumer_ = std::move(consumer);
  loop_ = pa_threaded_mainloop_new();
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Parley");
  pa_context_set_state_callback(context_, &AudioInput::onContextState, this);
  pa_threaded_mainloop_lock(loop_);
  bool ok = pa_threaded_mainloop_start(loop_) == 0 &&
            pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
  while (ok) {
    const auto state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY)
      break;
    if (!PA_CONTEXT_IS_GOOD(state))
      ok = false;
    if (ok)
      pa_threaded_mainloop_wait(loop_);
  }
  if (ok) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, sampleRate, 1};
    stream_ = pa_stream_new(context_, "microphone", &format, nullptr);
    pa_stream_set_state_callback(stream_, &AudioInput::onStreamState, this);
    pa_stream_set_read_callback(stream_, &AudioInput::onRead, this);
    // 20 ms fragments: small enough for the endpointer, large enough to keep
    // the wake-ups cheap.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(sampleRate / 50 * sizeof(float));
    ok = pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) >= 0;
    while (ok) {
      const auto state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY)
        break;
      if (!PA_STREAM_IS_GOOD(state))
        ok = false;
      if (ok)
        pa_threaded_mainloop_wait(loop_);
    }
  }
  if (!ok)
    error = serverError(context_);
  pa_threaded_mainloop_unlock(loop_);
  if (!ok)
    stop();
  return ok;
}

void AudioInput::stop() {
  if (!loop_)
    return;
  pa_threaded_mainloop_lock(loop_);
  if (stream_) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
  context_ = nullptr;
  loop_ = nullptr;
  consumer_ = nullptr;
  level_.store(0.0f);
}

}  // namespace parley::desktop
