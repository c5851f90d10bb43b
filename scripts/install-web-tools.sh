#!/usr/bin/env bash
# Installs the pinned JavaScript linter (ESLint) and formatter (Prettier) for
# web/ from the npm registry into a cache outside the repository, and prints
# the directory whose node_modules/.bin holds them. Idempotent and fast once
# installed; concurrent runs serialise on a lock file.
#
#   PARLEY_WEB_TOOLS_DIR  where to install (default: the user's cache dir)
set -euo pipefail

eslint=9.39.1
prettier=3.10.2
dir=${PARLEY_WEB_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/parley/web-tools-eslint-$eslint-prettier-$prettier}
marker=$dir/.installed

fail() {
  echo "install-web-tools: $*" >&2
  exit 1
}

installed() {
  [[ -f "$marker" && -x "$dir/node_modules/.bin/eslint" && -x "$dir/node_modules/.bin/prettier" ]]
}

if installed; then
  echo "$dir"
  exit 0
fi
command -v npm >/dev/null 2>&1 || fail "npm is not installed (scripts/install-deps.sh installs it)"
mkdir -p "$dir" || fail "cannot create $dir"
exec 9>"$dir/.lock"
flock 9
if installed; then
  echo "$dir"
  exit 0
fi

echo "install-web-tools: installing eslint@$eslint and prettier@$prettier into $dir" >&2
printf '{ "name": "parley-web-tools", "private": true }\n' >"$dir/package.json"
npm install --prefix "$dir" --no-audit --no-fund --save-exact --loglevel=error \
  --fetch-retries=1 --fetch-timeout=120000 "eslint@$eslint" "prettier@$prettier" >&2 ||
  fail "npm install failed (is the npm registry reachable?)"
touch "$marker"
echo "$dir"
