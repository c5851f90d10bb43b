#!/usr/bin/env bash
# Runs every libFuzzer target in build-fuzz/bin for FUZZ_SECONDS seconds each,
# starting from its checked-in corpus (fuzz/corpus/<target>/, small seeds
# drawn from the captures of real Claude Code). New inputs go to
# build-fuzz/corpus/<target>, so the checked-in corpus never changes by
# itself. Every target runs; each prints its executions and findings, and
# the script fails when any target found something (reproducers are in
# build-fuzz/findings).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-30}

options_for() {
  case $1 in
    fuzz_client_envelope) echo "-dict=$root/fuzz/protocol/client_envelope.dict" ;;
  esac
}

mkdir -p "$build/findings"
failed=0
printf '%-26s %12s %9s %s\n' target executions findings corpus
for fuzzer in "$build"/bin/fuzz_*; do
  name=$(basename "$fuzzer")
  seeds="$root/fuzz/corpus/$name"
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  if [[ ! -d "$seeds" ]]; then
    echo "$name: no checked-in corpus at fuzz/corpus/$name" >&2
    failed=1
    continue
  fi
  rm -f "$build/findings/$name-"*
  status=0
  # shellcheck disable=SC2046
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" $(options_for "$name") \
    "$corpus" "$seeds" >"$build/$name.log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log" | tail -n 1)
  findings=$(find "$build/findings" -name "$name-*" -type f | wc -l)
  if ((status != 0 && findings == 0)); then
    findings=1 # the target failed without leaving a reproducer
  fi
  printf '%-26s %12s %9s %s\n' "$name" "${executions:-?}" "$findings" \
    "$(find "$corpus" -type f | wc -l) inputs"
  if ((findings > 0)); then
    failed=1
    tail -n 30 "$build/$name.log" >&2
  fi
done
if ((failed)); then
  echo "fuzzing found problems; reproducers are in $build/findings" >&2
  exit 1
fi
