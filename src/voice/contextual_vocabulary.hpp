#pragma once

// Hint phrases for the speech recogniser, made from the names the user is
// likely to say: project folders, file names, identifiers. Each name is given
// as written and, when it differs, split into the words a person would say
// ("WebSocketServer" also as "Web Socket Server").

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace parley::voice::ContextualVocabulary {

inline constexpr std::size_t defaultLimit = 400;

// The candidates of every source in order, without case-insensitive
// repeats, at most `limit` of them.
std::vector<std::string> terms(const std::vector<std::string>& sources,
                               std::size_t limit = defaultLimit);

// The candidates of one source: the last path component without its
// extension, then its split form if that differs. Empty when the name holds
// no letter or number.
std::vector<std::string> candidates(std::string_view source);

// "speech_projector" -> "speech projector", "v2Config" -> "v 2 Config";
// a run of capitals stays together ("readJSONValue" -> "read JSONValue").
std::string splitIdentifier(std::string_view identifier);

}  // namespace parley::voice::ContextualVocabulary
