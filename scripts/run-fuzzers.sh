#!/usr/bin/env bash
# Runs every libFuzzer target in build-fuzz/bin for FUZZ_SECONDS seconds
# each, growing a corpus per target under build-fuzz/corpus from the
# project's captures of real Claude Code (hook lines, transcript lines,
# screens). Stops at the first target that finds a failure; its reproducer
# is left in build-fuzz/findings.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-30}
fixtures="$root/tests/fixtures/claude-code-2.1.222"

# One seed file per line of a capture, so each seed is one hook or
# transcript line as the decoder sees it.
seed_lines() {
  local from=$1 to=$2 n=0
  mkdir -p "$to"
  while IFS= read -r line || [[ -n "$line" ]]; do
    n=$((n + 1))
    printf '%s' "$line" >"$to/line-$n"
  done <"$from"
}

seeds="$build/seeds"
rm -rf "$seeds"
seed_lines "$fixtures/hooks.ndjson" "$seeds/hook_lines"
seed_lines "$fixtures/transcript.jsonl" "$seeds/transcript_lines"
mkdir -p "$seeds/streams" "$seeds/screens"
cp "$fixtures/hooks.ndjson" "$seeds/streams/"
cp "$fixtures"/screens/*.ansi "$seeds/screens/"

seeds_for() {
  case $1 in
    fuzz_hook_payload) echo "$seeds/hook_lines" ;;
    fuzz_ndjson_framer) echo "$seeds/streams" ;;
    fuzz_transcript_decoder) echo "$seeds/transcript_lines" ;;
    fuzz_ansi_text | fuzz_dialog_scraper | fuzz_prompt_injector) echo "$seeds/screens" ;;
    fuzz_client_envelope) echo "$root/fuzz/protocol/seeds/client_envelope" ;;
  esac
}

options_for() {
  case $1 in
    fuzz_client_envelope) echo "-dict=$root/fuzz/protocol/client_envelope.dict" ;;
  esac
}

mkdir -p "$build/findings"
for fuzzer in "$build"/bin/fuzz_*; do
  name=$(basename "$fuzzer")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name: ${seconds}s"
  # shellcheck disable=SC2046
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" $(options_for "$name") \
    "$corpus" $(seeds_for "$name") 2>"$build/$name.log" || {
    tail -n 40 "$build/$name.log" >&2
    echo "$name failed; reproducers are in $build/findings" >&2
    exit 1
  }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov: ' "$build/$name.log" | tail -n 3
done
