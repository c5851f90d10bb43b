#include "voice/voice_selector.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

#include "voice/audio_diagnostics.hpp"
#include "voice/audio_session_profile.hpp"
#include "voice/voice_candidate.hpp"

namespace parley::voice {
namespace {

using Quality = VoiceCandidate::Quality;

VoiceCandidate voice(std::string identifier, std::string language, Quality quality,
                     bool isNovelty = false, bool isPersonalVoice = false) {
  return VoiceCandidate{identifier, "Name of " + identifier, std::move(language), quality,
                        isNovelty,  isPersonalVoice};
}

std::optional<std::string> selectedId(const std::vector<VoiceCandidate>& candidates,
                                      std::optional<std::string_view> preferred,
                                      std::string_view locale) {
  const auto chosen = VoiceSelector::select(candidates, preferred, locale);
  if (!chosen)
    return std::nullopt;
  return chosen->identifier;
}

TEST(VoiceSelector, RanksExactLocaleThenLanguageThenQuality) {
  const std::vector<VoiceCandidate> english = {
      voice("gb-premium", "en-GB", Quality::premium),
      voice("us-enhanced", "en-US", Quality::enhanced),
      voice("us-default", "en-US", Quality::default_),
  };
  EXPECT_EQ(selectedId(english, std::nullopt, "en-US"), "us-enhanced");

  const std::vector<VoiceCandidate> british = {
      voice("gb-default", "en-GB", Quality::default_),
      voice("gb-enhanced", "en_GB", Quality::enhanced),
      voice("de-premium", "de-DE", Quality::premium),
  };
  EXPECT_EQ(selectedId(british, std::nullopt, "en-US"), "gb-enhanced");

  // Nothing in the wanted language: the best of the rest is still a voice.
  const std::vector<VoiceCandidate> german = {
      voice("de-enhanced", "de-DE", Quality::enhanced),
      voice("de-premium", "de-AT", Quality::premium),
  };
  EXPECT_EQ(selectedId(german, std::nullopt, "en-US"), "de-premium");
}

TEST(VoiceSelector, NormalisesLocalesAndBreaksTiesByIdentifier) {
  const std::vector<VoiceCandidate> voices = {
      voice("en-premium-b", "en-US", Quality::premium),
      voice("en-premium-a", "en-US", Quality::premium),
      voice("en-plain", "en", Quality::default_),
      voice("au-premium", "en-AU", Quality::premium),
  };
  EXPECT_EQ(selectedId(voices, std::nullopt, "en-US"), "en-premium-a");
  EXPECT_EQ(selectedId(voices, std::nullopt, "en_us"), "en-premium-a");
  EXPECT_EQ(selectedId(voices, std::nullopt, "EN-US"), "en-premium-a");
  // A bare language matches only a bare tag exactly; every English voice
  // ranks as same-language.
  EXPECT_EQ(selectedId(voices, std::nullopt, "en"), "en-plain");
  EXPECT_EQ(selectedId(voices, std::nullopt, "en-GB"), "au-premium");
  EXPECT_EQ(selectedId(voices, std::nullopt, "--en--"), "au-premium");
  // The list order does not matter to the outcome.
  const std::vector<VoiceCandidate> reversed(voices.rbegin(), voices.rend());
  EXPECT_EQ(selectedId(reversed, std::nullopt, "en-US"), "en-premium-a");
  EXPECT_EQ(selectedId(reversed, std::nullopt, "fr-FR"), "au-premium");
  EXPECT_EQ(selectedId(voices, std::nullopt, ""), "au-premium");
}

TEST(VoiceSelector, AnExplicitChoiceWinsAndNoveltiesAreOtherwiseLeftOut) {
  const std::vector<VoiceCandidate> voices = {
      voice("bells", "en-US", Quality::premium, true),
      voice("me", "en-US", Quality::premium, false, true),
      voice("plain", "fr-FR", Quality::default_),
  };
  EXPECT_EQ(selectedId(voices, "bells", "en-US"), "bells");
  EXPECT_EQ(selectedId(voices, "me", "en-US"), "me");
  EXPECT_EQ(selectedId(voices, "uninstalled", "en-US"), "plain");
  EXPECT_EQ(selectedId(voices, "BELLS", "en-US"), "plain");  // identifiers match exactly
  EXPECT_EQ(selectedId(voices, std::nullopt, "en-US"), "plain");

  const std::vector<VoiceCandidate> onlySpecial(voices.begin(), voices.begin() + 2);
  EXPECT_EQ(selectedId(onlySpecial, std::nullopt, "en-US"), std::nullopt);
  EXPECT_EQ(selectedId({}, std::nullopt, "en-US"), std::nullopt);
  EXPECT_EQ(selectedId({}, "bells", "en-US"), std::nullopt);

  // The first of two candidates with the chosen identifier is taken whole.
  const std::vector<VoiceCandidate> twins = {voice("same", "de-DE", Quality::default_),
                                             voice("same", "en-US", Quality::premium)};
  EXPECT_EQ(VoiceSelector::select(twins, "same", "en-US"), twins[0]);
}

TEST(VoiceCandidate, RecordsRoundTripAndHashOverEveryField) {
  EXPECT_EQ(qualityFromRawValue(3), Quality::premium);
  EXPECT_EQ(qualityFromRawValue(0), std::nullopt);
  EXPECT_EQ(qualityFromRawValue(4), std::nullopt);
  EXPECT_LT(Quality::enhanced, Quality::premium);
  const VoiceCandidate a = voice("id", "en-US", Quality::enhanced);
  VoiceCandidate b = a;
  b.isPersonalVoice = true;
  EXPECT_EQ((std::unordered_set<VoiceCandidate>{a, b, a}.size()), 2u);
  for (const auto profile : allAudioSessionProfiles) {
    EXPECT_EQ(audioSessionProfileFromRawValue(rawValue(profile)), profile);
    EXPECT_NE(isConversation(profile), isHighQuality(profile));
  }
  EXPECT_EQ(displayName(AudioSessionProfile::highQuality), "High quality");
  EXPECT_EQ(audioSessionProfileFromRawValue("HighQuality"), std::nullopt);
  // Never measured is not measured as zero.
  AudioDiagnostics measured;
  measured.lastTimeToFirstAudioMS = std::chrono::milliseconds(0);
  EXPECT_NE(measured, AudioDiagnostics{});
}

}  // namespace
}  // namespace parley::voice
