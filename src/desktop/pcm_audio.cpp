#include "desktop/pcm_audio.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace parley::desktop {

PcmAudio PcmAudio::resampled(int rate) const {
  if (rate == sampleRate || samples.empty())
    return {rate, samples};
  if (sampleRate <= 0 || rate <= 0)
    return {rate, {}};
  const double ratio = static_cast<double>(rate) / sampleRate;
  PcmAudio out{rate, {}};
  out.samples.resize(static_cast<std::size_t>(static_cast<double>(samples.size()) * ratio) + 16);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  std::size_t produced = 0;
  const soxr_error_t error =
      soxr_oneshot(sampleRate, rate, 1, samples.data(), samples.size(), nullptr, out.samples.data(),
                   out.samples.size(), &produced, &io, &quality, nullptr);
  if (error)
    return {rate, {}};
  out.samples.resize(produced);
  return out;
}

namespace {

void putLittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

std::string PcmAudio::wav() const {
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * sizeof(std::int16_t));
  std::string out;
  out.reserve(44 + dataBytes);
  out += "RIFF";
  putLittleEndian(out, 36 + dataBytes, 4);
  out += "WAVEfmt ";
  putLittleEndian(out, 16, 4);  // format chunk size
  putLittleEndian(out, 1, 2);   // integer PCM
  putLittleEndian(out, 1, 2);   // mono
  putLittleEndian(out, static_cast<std::uint32_t>(sampleRate), 4);
  putLittleEndian(out, static_cast<std::uint32_t>(sampleRate) * 2, 4);  // bytes per second
  putLittleEndian(out, 2, 2);                                           // bytes per frame
  putLittleEndian(out, 16, 2);                                          // bits per sample
  out += "data";
  putLittleEndian(out, dataBytes, 4);
  for (const std::int16_t sample : samples) {
    putLittleEndian(out, static_cast<std::uint16_t>(sample), 2);
  }
  return out;
}

PcmAudio PcmAudio::fromFloat(std::span<const float> input, int rate) {
  PcmAudio audio{rate, {}};
  audio.samples.reserve(input.size());
  for (const float sample : input) {
    const float clipped = std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
    audio.samples.push_back(static_cast<std::int16_t>(std::lrint(clipped * 32767.0f)));
  }
  return audio;
}

}  // namespace parley::desktop
