// Speech projection throughput on a long agent answer, and risk-tier
// classifications per second on the tool calls an agent makes most.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "narration/speech_projector.hpp"
#include "narration/tier_classifier.hpp"
#include "protocol/hook_payload.hpp"

namespace {

using namespace parley;

// Sections in the style of Claude Code's final answers: headings, prose
// with inline code and paths, numbered and bulleted lists, fenced code,
// tables, links, bare URLs and the odd emoji.
const std::vector<std::string>& sections() {
  static const std::vector<std::string> all{
      R"(## ✅ Fixed the flaky reconnect test

The failure came from `SessionRegistry::refresh` racing the 30-second timer. I moved the sweep behind the registry's strand and added a regression test in `tests/terminal/session_registry_test.cpp`.

### What changed

1. **Registry**: `applyPayload` now records the pane *before* broadcasting.
2. **Server**: the `sendQueue` drops stale frames — see [the ring buffer notes](docs/ring.md).
3. Tests: added `reconnectAfterSleep` and `replayFromSeq`.

)",
      R"(```cpp
void SessionRegistry::refresh() {
  strand_.post([this] { sweep(); });
}
```

| Test | Before | After |
|------|--------|-------|
| reconnect | 3/10 failed | 0/10 |
| replay | passed | passed |

)",
      R"(⚠️ Note: the __HTTP API__ still returns `503` when `tailscaled` is down; the docs at https://tailscale.com/kb/1080/cli cover that. I did not touch `src/link/tailscale_status.cpp` because the retry loop there is already bounded.

---

Next steps 🚀:
- run `npm test` in ./web/panel
- check the ~~old~~ new `parseURL` helper
- update ~/.config/parley/preferences.json

)",
      R"(## Why the hook socket refused connections

The relay wrote to `$XDG_DATA_HOME/parley/hook.sock` while the desktop listened on the path from `PARLEY_SOCKET`. When both are set the environment variable wins, so I made `HookIngest::socketPath()` read it first and log which one it picked. Claude Code runs the relay once per hook, which means a mismatch silently drops *every* event until the next restart.

Here is the order of checks now:

1. `PARLEY_SOCKET` when it is set and non-empty
2. the data directory, created with mode `0700` if missing
3. otherwise a clear error in the activity log

```diff
- auto path = dataDir() / "hook.sock";
+ auto path = socketFromEnvironment().value_or(dataDir() / "hook.sock");
```

)",
      R"(### Test results

```console
$ ctest --preset dev -R narration
100% tests passed, 0 tests failed out of 84
```

All 84 tests pass, including the new `TierClassifier.EditOutsideProjectIsDestructive` case. The benchmark in `bench/narration/narration_bench.cpp` reports about the same throughput as before; see https://github.com/google/benchmark for how to compare runs.

> The projector keeps no state between calls, so it is safe to share.

)",
      R"(#### Files touched

- `src/narration/speech_projector.cpp` — block parser and inline rules
- `src/narration/tier_classifier.cpp` — path normalisation
- `tests/narration/speech_projector_test.cpp`
- `tests/narration/tier_classifier_test.cpp`
- `bench/narration/narration_bench.cpp`
- `docs/narration.md`
- `README.md`

Let me know if you want me to **squash** these into one commit or keep them separate. I can also open a PR with `gh pr create` once you've had a look 👀.

)",
  };
  return all;
}

std::string longAnswer(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += sections()[i % sections().size()];
  text.resize(size);
  return text;
}

void projectLongAnswer(benchmark::State& state) {
  const std::string answer = longAnswer(64 * 1024);
  const narration::SpeechProjector projector(900);
  for (auto _ : state) {
    narration::Projection projection = projector.project(answer);
    benchmark::DoNotOptimize(projection);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(answer.size()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(projectLongAnswer)->Unit(benchmark::kMillisecond);

void projectShortReply(benchmark::State& state) {
  const std::string reply = "All done. I created **newfile.txt** and listed `src/main.cpp`.";
  const narration::SpeechProjector projector(900);
  for (auto _ : state) {
    narration::Projection projection = projector.project(reply);
    benchmark::DoNotOptimize(projection);
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(projectShortReply);

// Tool calls as Claude Code sends them: shell commands, file writes and
// edits inside and outside the project, reads, searches and MCP tools.
std::vector<protocol::HookPayload> toolCalls() {
  const char* lines[] = {
      R"({"hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"touch newfile.txt && ls -la","description":"Create a file and list the directory"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"git push --force origin main","description":"Force-push the branch"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"cmake --build --preset dev -j2 --target test_narration && ctest --preset dev -R narration","description":"Build and run the narration tests"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Write","tool_input":{"file_path":"/home/dev/proj/notes.txt","content":"hello from the stand-in\n"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Edit","tool_input":{"file_path":"/home/dev/proj/src/narration/speech_projector.cpp","old_string":"  return text;\n}","new_string":"  return std::string(trimmed);\n}","replace_all":false}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Edit","tool_input":{"file_path":"/etc/hosts","old_string":"127.0.0.1 localhost","new_string":"127.0.0.1 localhost dev"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Read","tool_input":{"file_path":"/home/dev/proj/README.md"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Grep","tool_input":{"pattern":"TierClassifier","path":"/home/dev/proj/src","output_mode":"files_with_matches"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"Glob","tool_input":{"pattern":"**/*.cpp"}})",
      R"({"hook_event_name":"PreToolUse","tool_name":"mcp__github__create_issue","tool_input":{"owner":"dev","repo":"proj","title":"Reconnect test is flaky","body":"Fails about 3 in 10 runs after sleep."}})",
  };
  std::vector<protocol::HookPayload> calls;
  for (const char* line : lines)
    calls.push_back(protocol::HookPayload::decode(line));
  return calls;
}

void classifyToolCalls(benchmark::State& state) {
  const std::vector<protocol::HookPayload> calls = toolCalls();
  const narration::TierClassifier classifier("/home/dev/proj", "/home/dev");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(classifier.classify(calls[i]));
    i = (i + 1) % calls.size();
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(classifyToolCalls);

}  // namespace

BENCHMARK_MAIN();
