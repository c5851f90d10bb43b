#include "desktop/echo_canceller.hpp"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>

#include "desktop/voice_log.hpp"

namespace parley::desktop {
namespace {

constexpr std::size_t captureFrameSamples = EchoCanceller::captureRate / 100;

// What we hand the player is heard about this much later: the player's
// 100 ms server buffer and a 20 ms capture fragment. Only a starting point,
// as the canceller finds the true delay itself.
constexpr int nominalDelayMs = 120;

// A player that has written nothing for this long has not started yet, or
// is stalled: the far end is silence meanwhile. Only a long gap counts, as a
// player held up by a busy machine is still playing, and silence slipped
// into its stream would put it out of step with what the microphone hears.
constexpr auto renderGap = std::chrono::milliseconds(200);

}  // namespace

EchoCanceller::EchoCanceller(int renderRate)
    : renderRate_(renderRate), renderFrameSamples_(static_cast<std::size_t>(renderRate / 100)) {
  webrtc::Config config;
  // Delays through a sound server vary from one setup to the next, and the
  // longer filter holds a room's reverberation.
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  processing_.reset(webrtc::AudioProcessing::Create(config));
  auto log = voiceLogger("audio.echo");
  if (!processing_) {
    log->warn("echo cancellation is unavailable: the audio processor could not be created");
    return;
  }
  webrtc::ProcessingConfig formats;
  formats.input_stream() = webrtc::StreamConfig(captureRate, 1);
  formats.output_stream() = webrtc::StreamConfig(captureRate, 1);
  formats.reverse_input_stream() = webrtc::StreamConfig(renderRate, 1);
  formats.reverse_output_stream() = webrtc::StreamConfig(renderRate, 1);
  auto* echo = processing_->echo_cancellation();
  // The lowest suppression still takes our speech some 35 dB down once the
  // room is learnt, where the highest also takes a word said over it 25 dB
  // down: the person's "stop" is what this is for.
  const int status = renderRate <= 0 ? webrtc::AudioProcessing::kBadSampleRateError
                                     : processing_->Initialize(formats);
  if (status != webrtc::AudioProcessing::kNoError || !echo ||
      echo->Enable(true) != webrtc::AudioProcessing::kNoError ||
      echo->set_suppression_level(webrtc::EchoCancellation::kLowSuppression) !=
          webrtc::AudioProcessing::kNoError) {
    log->warn("echo cancellation is unavailable: the audio processor refused its settings ({})",
              status);
    processing_.reset();
    return;
  }
  log->info("echo cancellation on");
}

EchoCanceller::~EchoCanceller() = default;

std::shared_ptr<EchoCanceller> EchoCanceller::make(int renderRate) {
  auto canceller = std::make_shared<EchoCanceller>(renderRate);
  return canceller->available() ? canceller : nullptr;
}

void EchoCanceller::renderFrame(std::span<const float> frame) {
  const float* in[] = {frame.data()};
  // The far end is only analysed; its output goes nowhere.
  std::vector<float> out(frame.size());
  float* outs[] = {out.data()};
  const webrtc::StreamConfig format(renderRate_, 1);
  processing_->ProcessReverseStream(in, format, format, outs);
}

void EchoCanceller::render(std::span<const std::int16_t> samples) {
  if (!processing_)
    return;
  std::lock_guard lock(mutex_);
  lastRender_ = std::chrono::steady_clock::now();
  for (const auto sample : samples) {
    renderPending_.push_back(static_cast<float>(sample) / 32768.0f);
    if (renderPending_.size() == renderFrameSamples_) {
      renderFrame(renderPending_);
      renderPending_.clear();
    }
  }
}

std::vector<float> EchoCanceller::capture(std::span<const float> samples) {
  if (!processing_)
    return {samples.begin(), samples.end()};
  std::lock_guard lock(mutex_);
  capturePending_.insert(capturePending_.end(), samples.begin(), samples.end());
  const std::size_t whole = capturePending_.size() / captureFrameSamples * captureFrameSamples;
  std::vector<float> out(capturePending_.begin(),
                         capturePending_.begin() + static_cast<std::ptrdiff_t>(whole));
  capturePending_.erase(capturePending_.begin(),
                        capturePending_.begin() + static_cast<std::ptrdiff_t>(whole));
  for (auto& sample : out)
    sample = std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;

  const bool idle = !playing_.load() || std::chrono::steady_clock::now() - lastRender_ > renderGap;
  const std::vector<float> silence(idle ? renderFrameSamples_ : 0, 0.0f);
  const webrtc::StreamConfig format(captureRate, 1);
  for (std::size_t at = 0; at < whole; at += captureFrameSamples) {
    // While nothing plays, the far end goes on as silence, so the two
    // streams keep in step and the canceller does not mistake old speech for
    // what is playing now.
    if (idle) {
      renderPending_.clear();
      renderFrame(silence);
    }
    float* frame[] = {out.data() + at};
    processing_->set_stream_delay_ms(nominalDelayMs);
    processing_->ProcessStream(frame, format, format, frame);
  }
  return out;
}

}  // namespace parley::desktop
