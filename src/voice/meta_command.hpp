#pragma once

// Short spoken phrases that steer the voice loop itself (stop speaking,
// resume, repeat, send, discard, yes, no) instead of going to the agent as a
// prompt. A phrase counts only as a whole utterance: "stop" is a command,
// "please stop" is a prompt.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "voice/speech_tokens.hpp"

namespace parley::voice {

enum class MetaCommand { stop, resume, repeatLast, sendIt, scratchThat, yes, no };

inline constexpr std::array<MetaCommand, 7> allMetaCommands{
    MetaCommand::stop,        MetaCommand::resume, MetaCommand::repeatLast, MetaCommand::sendIt,
    MetaCommand::scratchThat, MetaCommand::yes,    MetaCommand::no};

// "stop", "resume", "repeatLast", "sendIt", "scratchThat", "yes", "no".
std::string_view rawValue(MetaCommand command);
std::optional<MetaCommand> metaCommandFromRawValue(std::string_view raw);

// One row of the phrase table: the command and the tokens of its phrase.
struct MetaCommandPhrase {
  MetaCommand command;
  TokenList tokens;
};

// The phrase table in matching order, built on first use and shared.
const std::vector<MetaCommandPhrase>& metaCommandPhrases();

// The token count of the longest phrase; a longer utterance is never a
// command, which keeps long dictation away from the table.
std::size_t maxPhraseLength();

// The command whose phrase equals the whole utterance, token for token.
std::optional<MetaCommand> parseMetaCommand(std::string_view text);
std::optional<MetaCommand> parseMetaCommand(const TokenList& tokens);
bool isMetaCommand(std::string_view text);

// "send it" or "scratch that" closing a longer utterance ("run the tests,
// send it"): the command and the words before it. A whole-utterance command
// is left to parseMetaCommand.
std::optional<std::pair<MetaCommand, std::string>> trailingMetaCommand(const std::string& text);

}  // namespace parley::voice
