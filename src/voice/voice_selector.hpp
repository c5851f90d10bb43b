#pragma once

// Picks the one voice to speak narration with: the user's explicit choice if
// it is installed, otherwise the best ordinary voice for the locale (exact
// locale over same language over anything, then quality), with novelty and
// personal voices left out unless chosen by name.

#include <optional>
#include <string_view>
#include <vector>

#include "voice/voice_candidate.hpp"

namespace parley::voice::VoiceSelector {

// `locale` may use "-" or "_" and any case ("en_US", "EN-us"). Ties between
// equally good voices go to the smaller identifier, so the choice does not
// depend on the platform's list order.
std::optional<VoiceCandidate> select(const std::vector<VoiceCandidate>& candidates,
                                     std::optional<std::string_view> preferredIdentifier,
                                     std::string_view locale);

}  // namespace parley::voice::VoiceSelector
