#include "desktop/utterance_cutter.hpp"

#include <utility>

namespace parley::desktop {
namespace {

constexpr float floorDB = -90.0f;

}  // namespace

UtteranceCutter::UtteranceCutter() : gate_(voice::EnergyGate::Config{}, floorDB) {}

void UtteranceCutter::reset() {
  gate_.reset(floorDB);
  pending_.clear();
  leadIn_.clear();
  utterance_.clear();
  capturing_ = false;
  quietFrames_ = 0;
  silentFrames_ = 0;
}

std::optional<UtteranceCutter::Utterance> UtteranceCutter::frame(std::span<const float> samples) {
  const float level = voice::EnergyGate::levelDB(samples, floorDB);
  const auto event = gate_.process(level, capturing_ && gate_.isActive());
  if (!capturing_) {
    leadIn_.emplace_back(samples.begin(), samples.end());
    if (leadIn_.size() > leadInFrames)
      leadIn_.pop_front();
    if (event == voice::EnergyGate::Event::onset) {
      capturing_ = true;
      quietFrames_ = 0;
      silentFrames_ = 0;
      utterance_.clear();
      for (const auto& earlier : leadIn_)
        utterance_.insert(utterance_.end(), earlier.begin(), earlier.end());
      leadIn_.clear();
    }
    return std::nullopt;
  }
  utterance_.insert(utterance_.end(), samples.begin(), samples.end());
  if (event == voice::EnergyGate::Event::onset)
    quietFrames_ = 0;
  if (!gate_.isActive() && event != voice::EnergyGate::Event::release)
    ++quietFrames_;
  // The gate releases only after its run of quiet frames, which belong to
  // the pause, not the speech.
  if (event == voice::EnergyGate::Event::release)
    silentFrames_ = static_cast<std::size_t>(gate_.config().releaseFrames);
  else if (!gate_.isActive())
    ++silentFrames_;
  const bool over = !gate_.isActive() && quietFrames_ >= hangoverFrames;
  if (over || utterance_.size() >= maxFrames * frameSamples) {
    capturing_ = false;
    quietFrames_ = 0;
    const auto quiet =
        over ? std::chrono::milliseconds(10 * silentFrames_) : std::chrono::milliseconds(0);
    if (gate_.isActive())
      gate_.reset();
    return Utterance{std::exchange(utterance_, {}), quiet};
  }
  return std::nullopt;
}

std::vector<UtteranceCutter::Utterance> UtteranceCutter::push(std::span<const float> samples) {
  std::vector<Utterance> done;
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  std::size_t at = 0;
  for (; at + frameSamples <= pending_.size(); at += frameSamples) {
    if (auto utterance = frame(std::span<const float>(pending_).subspan(at, frameSamples))) {
      done.push_back(std::move(*utterance));
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  return done;
}

}  // namespace parley::desktop
