#pragma once

// A cheap guess whether an utterance is addressed to the agent as a request:
// it opens with a verb of action or a polite opener, or it asks a question.

#include <string>
#include <string_view>
#include <unordered_set>

namespace parley::voice::IntentHeuristics {

// The 46 lower-case opening words of a request, built on first use.
const std::unordered_set<std::string>& actionWords();

bool looksLikeRequest(std::string_view text);

}  // namespace parley::voice::IntentHeuristics
