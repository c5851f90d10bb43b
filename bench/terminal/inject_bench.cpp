// Prompt injection on the real Claude Code 2.1.222, median over 20 prompts of
// one line and of ten lines (which Claude Code shows collapsed), Enter not
// pressed:
//   BM_PasteToReadBack: from the paste to the confirmed read-back, polling
//     the box every 25 ms as the injector does;
//   BM_InjectCall: the whole inject() call, which first checks the pane and
//     reads the box.

#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <thread>

#include "claude_code_session.hpp"
#include "terminal/prompt_injector.hpp"

namespace {

using namespace parley::terminal;
using namespace std::chrono_literals;

std::unique_ptr<parley::test::ClaudeCodeSession> session;

std::string prompt(int lines, int n) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    text += i ? "\n" : "";
    text += "prompt " + std::to_string(n) + " line " + std::to_string(i) + " about the registry";
  }
  return text;
}

// Two Escapes at once clear a box that holds text.
bool clearBox(const TmuxClient& tmux) {
  tmux.run({"send-keys", "-t", session->pane(), "Escape", "Escape"});
  return session->waitForScreen(
      [](const std::string& s) { return parley::test::inputBoxText(s) == ""; }, 10s,
      "an empty input box");
}

void BM_PasteToReadBack(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  const TmuxClient tmux(TmuxClient::resolveExecutable(), session->socketPath().string());
  const PromptInjector injector(tmux, 600ms, 25ms);
  int n = 0;
  for (auto _ : state) {
    const std::string text = prompt(lines, n++);
    const auto start = std::chrono::steady_clock::now();
    tmux.pasteText(text, session->pane());
    while (!PromptInjector::readBackMatches(text,
                                            injector.currentInput(session->pane()).value_or(""))) {
      if (std::chrono::steady_clock::now() - start > 10s) {
        state.SkipWithError("the paste never showed in the box");
        return;
      }
      std::this_thread::sleep_for(25ms);
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!clearBox(tmux)) {
      state.SkipWithError("the input box did not clear");
      return;
    }
  }
}

void BM_InjectCall(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  const TmuxClient tmux(TmuxClient::resolveExecutable(), session->socketPath().string());
  const PromptInjector injector(tmux, 600ms, 25ms);
  int n = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    injector.inject(prompt(lines, n++), session->pane(), false);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!clearBox(tmux)) {
      state.SkipWithError("the input box did not clear");
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!parley::test::installedClaudeCode()) {
    std::cout << "injection benchmarks skipped: " << parley::test::claudeCodeMissingMessage()
              << "\n";
    return 0;
  }
  session = std::make_unique<parley::test::ClaudeCodeSession>();
  for (auto [name, fn] : {std::pair{"BM_PasteToReadBack", &BM_PasteToReadBack},
                          std::pair{"BM_InjectCall", &BM_InjectCall}}) {
    benchmark::RegisterBenchmark(name, fn)
        ->Arg(1)
        ->Arg(10)
        ->Iterations(1)
        ->Repetitions(20)
        ->ReportAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  session.reset();
  return 0;
}
