#include "desktop/utterance_cutter.hpp"

#include <algorithm>
#include <utility>

namespace parley::desktop {
namespace {

constexpr float floorDB = -90.0f;
constexpr std::size_t steadyCheckFrames = 10;

std::chrono::milliseconds durationOfFrames(std::size_t frames) {
  return std::chrono::milliseconds(10 * frames);
}

}  // namespace

UtteranceCutter::UtteranceCutter() : gate_(voice::EnergyGate::Config{}, floorDB) {}

void UtteranceCutter::drop() {
  gate_.reset();
  pending_.clear();
  leadIn_.clear();
  leadInFrames_.clear();
  recentLevels_.clear();
  sinceSteadyCheck_ = 0;
  voicedRun_ = 0;
  endCapture(std::nullopt);
}

void UtteranceCutter::learnFloor(float levelDB) {
  // Seeded as if by a frame of its own, so no later frame reseeds it.
  gate_.reset(levelDB);
  gate_.process(levelDB, false);
}

std::optional<float> UtteranceCutter::steadyLevel() const {
  if (recentLevels_.size() < steadyFrames)
    return std::nullopt;
  std::vector<float> levels(recentLevels_.begin(), recentLevels_.end());
  auto at = [&](std::size_t percent) {
    const auto nth = levels.begin() + static_cast<std::ptrdiff_t>(levels.size() * percent / 100);
    std::nth_element(levels.begin(), nth, levels.end());
    return *nth;
  };
  const float low = at(10);
  const float high = at(90);
  if (high - low >= steadySpreadDB)
    return std::nullopt;
  return at(50);
}

std::optional<std::size_t> UtteranceCutter::lastSpeechBefore(std::size_t end) const {
  std::optional<std::size_t> last;
  std::size_t run = 0;
  for (std::size_t i = 0; i < std::min(end, frames_.size()); ++i) {
    run = frames_[i].voiced ? run + 1 : 0;
    if (run >= speechRunFrames)
      last = i;
  }
  return last;
}

UtteranceCutter::Event UtteranceCutter::endCapture(std::optional<Utterance> utterance) {
  capturing_ = false;
  quietFrames_ = 0;
  silentFrames_ = 0;
  sinceSpeech_ = 0;
  quickQuiet_ = 0;
  speechPeakDB_ = floorDB;
  utterance_.clear();
  frames_.clear();
  if (!quickEnd_) {
    leadIn_.clear();
    leadInFrames_.clear();
  }
  return Event{Event::Kind::ended, std::move(utterance)};
}

UtteranceCutter::Event UtteranceCutter::endAtBackground(std::size_t background) {
  const auto last = lastSpeechBefore(background);
  if (!last)
    return endCapture(std::nullopt);
  const std::size_t end = std::min(*last + 1 + hangoverFrames, frames_.size());
  utterance_.resize(end * frameSamples);
  const auto quiet = durationOfFrames(frames_.size() - *last - 1);
  return endCapture(Utterance{std::exchange(utterance_, {}), quiet});
}

void UtteranceCutter::frame(std::span<const float> samples, std::vector<Event>& events) {
  const float level = voice::EnergyGate::levelDB(samples, floorDB);
  // The detector runs on every frame: it learns the background from them.
  const bool voiced = detector_.isSpeech(samples);
  voicedRun_ = voiced ? voicedRun_ + 1 : 0;
  recentLevels_.push_back(level);
  if (recentLevels_.size() > steadyFrames)
    recentLevels_.pop_front();
  const auto event = gate_.process(level, capturing_ && gate_.isActive());

  // A steady sound loud enough to hold the gate open is the room's.
  // (A flag and a level, not an optional: GCC's optimiser misreads the
  // optional as maybe uninitialised.)
  bool steady = false;
  float steadyDB = 0.0F;
  if (++sinceSteadyCheck_ >= steadyCheckFrames) {
    sinceSteadyCheck_ = 0;
    if (const auto held = steadyLevel()) {
      steadyDB = *held;
      steady = steadyDB >= gate_.noiseFloorDB() + gate_.config().releaseOverFloorDB;
    }
  }

  // Over our speech the lead-in runs on through a capture: a word that
  // begins as a quick end lets one go keeps its first syllable. What a
  // capture held is never the next one's speech, though: it has been handed
  // over already. (Otherwise a capture ends after a hangover of quiet, and
  // the lead-in starts afresh.)
  leadIn_.emplace_back(samples.begin(), samples.end());
  leadInFrames_.push_back({level, voiced && !capturing_});
  if (leadIn_.size() > leadInFrames) {
    leadIn_.pop_front();
    leadInFrames_.pop_front();
  }
  if (!capturing_) {
    if (event == voice::EnergyGate::Event::onset) {
      capturing_ = true;
      quietFrames_ = 0;
      silentFrames_ = 0;
      quickQuiet_ = 0;
      speechPeakDB_ = floorDB;
      utterance_.clear();
      for (const auto& earlier : leadIn_)
        utterance_.insert(utterance_.end(), earlier.begin(), earlier.end());
      frames_.assign(leadInFrames_.begin(), leadInFrames_.end());
      const auto last = lastSpeechBefore(frames_.size());
      sinceSpeech_ = frames_.size() - (last ? *last + 1 : 0);
      events.push_back(Event{Event::Kind::began, std::nullopt});
    } else if (steady) {
      learnFloor(steadyDB);
    }
    return;
  }

  utterance_.insert(utterance_.end(), samples.begin(), samples.end());
  frames_.push_back({level, voiced});

  sinceSpeech_ = voicedRun_ >= speechRunFrames ? 0 : sinceSpeech_ + 1;
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

  // Over our speech, what the canceller leaves of it keeps the gate open
  // until we pause, and the person's word waited for that (up to 800 ms on
  // a busy machine). Their word is far louder than that remnant: once the
  // capture falls well below its loudest speech, the word is over.
  if (voiced)
    speechPeakDB_ = std::max(speechPeakDB_, level);
  const bool quiet = level < gate_.noiseFloorDB() + gate_.config().releaseOverFloorDB ||
                     level < speechPeakDB_ - quickEndBelowPeakDB;
  quickQuiet_ = quiet ? quickQuiet_ + 1 : 0;
  if (quickEnd_ && gate_.isActive() && quickQuiet_ >= quickEndFrames) {
    silentFrames_ = quickQuiet_;
    gate_.reset();
  }
  if (!gate_.isActive() && quietFrames_ >= (quickEnd_ ? 0 : hangoverFrames)) {
    std::optional<Utterance> utterance;
    if (lastSpeechBefore(frames_.size()))
      utterance = Utterance{std::exchange(utterance_, {}), durationOfFrames(silentFrames_)};
    events.push_back(endCapture(std::move(utterance)));
    return;
  }
  // Not while the detector hears a voice: a word begun at the second's end
  // would be cut in two, neither half enough to be understood.
  if (sinceSpeech_ >= backgroundFrames && voicedRun_ == 0) {
    const std::size_t background = frames_.size() - sinceSpeech_;
    if (gate_.isActive() && quickEnd_) {
      // What keeps the gate open is what the canceller leaves of our speech,
      // not the room: as the floor, it would keep the person's word out.
      gate_.reset();
    } else if (gate_.isActive()) {
      std::vector<float> levels;
      for (std::size_t i = background; i < frames_.size(); ++i)
        levels.push_back(frames_[i].levelDB);
      const auto middle = levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2);
      std::nth_element(levels.begin(), middle, levels.end());
      learnFloor(*middle);
    }
    events.push_back(endAtBackground(background));
    return;
  }
  if (steady) {
    learnFloor(steadyDB);
    events.push_back(
        endAtBackground(frames_.size() > steadyFrames ? frames_.size() - steadyFrames : 0));
    return;
  }
  if (utterance_.size() >= maxFrames * frameSamples) {
    if (gate_.isActive())
      gate_.reset();
    std::optional<Utterance> utterance;
    if (lastSpeechBefore(frames_.size()))
      utterance = Utterance{std::exchange(utterance_, {}), std::chrono::milliseconds(0)};
    events.push_back(endCapture(std::move(utterance)));
  }
}

std::vector<UtteranceCutter::Event> UtteranceCutter::push(std::span<const float> samples) {
  std::vector<Event> events;
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  std::size_t at = 0;
  for (; at + frameSamples <= pending_.size(); at += frameSamples)
    frame(std::span<const float>(pending_).subspan(at, frameSamples), events);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  return events;
}

}  // namespace parley::desktop
