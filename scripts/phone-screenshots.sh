#!/bin/sh
# Saves the phone page's main views at 360x780 into docs/phone/, taken by the
# browser end-to-end tests against real Claude Code (installed by
# scripts/install-claude-code.sh). Build first: cmake --build build.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/docs/phone"
PARLEY_SCREENSHOT_DIR="$root/docs/phone" "$root/build/bin/test_phone_page_e2e" "$@"
