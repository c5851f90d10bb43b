#include "desktop/echo_canceller.hpp"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "desktop/voice_log.hpp"

namespace parley::desktop {
namespace {

constexpr std::size_t captureFrameSamples = EchoCanceller::captureRate / 100;

// Our sound reaches the microphone a room's delay after it is played, and
// our capture lags what the microphone hears by its 20 ms fragment. Only a
// starting point, as the canceller finds the true delay itself.
constexpr int nominalDelayMs = 100;

constexpr auto frameTime = std::chrono::milliseconds(10);
// Sound played this long before what the microphone hears now was played
// while the microphone heard nothing (it stalled, or the machine did): its
// echo is gone.
constexpr auto staleAfter = std::chrono::milliseconds(200);
// A frame due later than this is not yet playing: the speakers are silent.
constexpr auto notYetPlaying = std::chrono::milliseconds(20);

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

void EchoCanceller::render(std::span<const std::int16_t> samples, Clock::time_point playsAt) {
  if (!processing_)
    return;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (renderPending_.empty())
      pendingPlaysAt_ =
          playsAt + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(i) / renderRate_));
    renderPending_.push_back(static_cast<float>(samples[i]) / 32768.0f);
    if (renderPending_.size() == renderFrameSamples_)
      toPlay_.push_back({pendingPlaysAt_, std::exchange(renderPending_, {})});
  }
}

void EchoCanceller::playedUntil(Clock::time_point heardAt) {
  while (!toPlay_.empty() && toPlay_.front().playsAt + staleAfter < heardAt)
    toPlay_.pop_front();
  // The frame that played while the microphone heard this one, and any
  // that a late capture has left behind. A frame due a moment later is
  // handed over next time: slipping silence in would shift our sound
  // against the microphone's for the rest of the reply.
  bool played = false;
  while (!toPlay_.empty() && toPlay_.front().playsAt + frameTime / 2 <= heardAt) {
    renderFrame(toPlay_.front().samples);
    toPlay_.pop_front();
    played = true;
  }
  if (!played && (toPlay_.empty() || toPlay_.front().playsAt > heardAt + notYetPlaying))
    renderFrame(std::vector<float>(renderFrameSamples_, 0.0f));
}

std::vector<float> EchoCanceller::capture(std::span<const float> samples,
                                          Clock::time_point heardAt) {
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

  // When the last whole frame ended: the partial frame left over came after it.
  const auto wholeEnd =
      heardAt - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(capturePending_.size()) / captureRate));
  const std::size_t frames = whole / captureFrameSamples;
  const webrtc::StreamConfig format(captureRate, 1);
  for (std::size_t i = 0; i < frames; ++i) {
    playedUntil(wholeEnd - static_cast<int>(frames - 1 - i) * frameTime);
    float* frame[] = {out.data() + i * captureFrameSamples};
    processing_->set_stream_delay_ms(nominalDelayMs);
    processing_->ProcessStream(frame, format, format, frame);
  }
  return out;
}

}  // namespace parley::desktop
