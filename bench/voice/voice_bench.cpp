// Throughput of the text tools that run on every partial recognition result:
// the tokenizer and the meta-command parser.

#include <benchmark/benchmark.h>

#include <array>
#include <string_view>

#include "voice/meta_command.hpp"
#include "voice/speech_tokens.hpp"

namespace {

using parley::voice::parseMetaCommand;
using parley::voice::SpeechTokens::tokenize;

// What a recogniser hands over while someone dictates: short commands and
// prompts of a sentence or two.
constexpr std::array<std::string_view, 8> englishUtterances{
    "stop",
    "Send it.",
    "What was that?",
    "Don't!",
    "Please run the tests and then commit the change",
    "Can you look at the failing test in speech_projector.cpp and fix it?",
    "Okay so the WebSocket server should refuse a second phone, let's add a check for that",
    "Rename the variable to retryCount, it's used in three places",
};

constexpr std::array<std::string_view, 6> accentedUtterances{
    "Stopp!",
    "Schick es ab.",
    "Bitte f\u00fchre die Tests f\u00fcr die Stra\u00dfenkarte aus",
    "Peux-tu corriger l'erreur dans le fichier r\u00e9sum\u00e9 ?",
    "Cre\u0301e une nouvelle branche pour la fonctionnalite\u0301",
    "\u00c7a marche \U0001F44D merci, on continue demain",
};

template <std::size_t N>
void tokenizeAll(benchmark::State& state, const std::array<std::string_view, N>& utterances) {
  std::int64_t calls = 0;
  for (auto _ : state) {
    for (const auto utterance : utterances) {
      benchmark::DoNotOptimize(tokenize(utterance));
    }
    calls += static_cast<std::int64_t>(N);
  }
  state.counters["calls"] =
      benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
}

void BM_TokenizeEnglish(benchmark::State& state) {
  tokenizeAll(state, englishUtterances);
}
BENCHMARK(BM_TokenizeEnglish);

void BM_TokenizeAccented(benchmark::State& state) {
  tokenizeAll(state, accentedUtterances);
}
BENCHMARK(BM_TokenizeAccented);

// parseMetaCommand tokenises the utterance and looks it up in the phrase
// table: the whole cost of asking "is this a command?".
void BM_ParseMetaCommand(benchmark::State& state) {
  std::int64_t calls = 0;
  for (auto _ : state) {
    for (const auto utterance : englishUtterances) {
      benchmark::DoNotOptimize(parseMetaCommand(utterance));
    }
    calls += static_cast<std::int64_t>(englishUtterances.size());
  }
  state.counters["calls"] =
      benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMetaCommand);

}  // namespace

BENCHMARK_MAIN();
