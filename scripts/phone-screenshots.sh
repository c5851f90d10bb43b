#!/bin/sh
# Saves the phone page's main views at 360x780 into docs/phone/, taken by the
# browser tests: the cards against the server, the rest end to end against
# real Claude Code (scripts/install-claude-code.sh). Build the tests first.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/docs/phone"
export PARLEY_SCREENSHOT_DIR="$root/docs/phone"
"$root/build/bin/test_phone_page"
"$root/build/bin/test_phone_page_e2e" --gtest_filter='PhonePage.PairsFollows*'
rm -f "$root/docs/phone/failure.png"
