#!/usr/bin/env bash
# Installs the real Claude Code 2.1.222 from the npm registry into a cache
# outside the repository and prints the path of its native binary. The
# end-to-end tests drive that binary; they skip when this script could not run.
#
# Idempotent and fast when the install is already complete. Concurrent runs
# (two worktrees, two make invocations) serialise on a lock file.
#
#   PARLEY_CLAUDE_CODE_DIR  where to install (default: the user's cache dir)
set -euo pipefail

version=2.1.222
dir=${PARLEY_CLAUDE_CODE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/parley/claude-code-$version}

fail() {
  echo "install-claude-code: $*" >&2
  exit 1
}

# The npm package carries one native binary per platform as an optional
# dependency; only the one matching this machine is installed.
case "$(uname -s)-$(uname -m)" in
  Linux-x86_64) platform=linux-x64 ;;
  Linux-aarch64) platform=linux-arm64 ;;
  *) fail "no Claude Code binary for $(uname -s) $(uname -m)" ;;
esac
if ldd --version 2>&1 | grep -qi musl; then platform+=-musl; fi
native_pkg=@anthropic-ai/claude-code-$platform
binary=$dir/node_modules/$native_pkg/claude
marker=$dir/.installed-$version-$platform

installed() {
  [[ -f "$marker" && -x "$binary" ]]
}

if installed; then
  echo "$binary"
  exit 0
fi

command -v npm >/dev/null 2>&1 || fail "npm is not installed (scripts/install-deps.sh installs it)"
command -v flock >/dev/null 2>&1 || fail "flock (util-linux) is missing"

mkdir -p "$dir" || fail "cannot create $dir"
exec 9>"$dir/.lock"
flock 9
if installed; then
  echo "$binary"
  exit 0
fi

echo "install-claude-code: installing @anthropic-ai/claude-code@$version into $dir" >&2

# Install into a staging directory and move it into place only when complete,
# so an interrupted download never looks installed.
stage=$(mktemp -d "$dir/.stage-XXXXXX")
trap 'rm -rf "$stage"' EXIT
printf '{ "name": "parley-claude-code-cache", "private": true }\n' >"$stage/package.json"

npm_install() {
  # --ignore-scripts: the package's postinstall only copies the native binary
  # over its bin/ placeholder; we run the native binary where npm put it.
  # The engines warning (the wrapper asks for a newer Node.js) concerns only
  # that wrapper, not the native binary.
  npm install --prefix "$stage" --no-audit --no-fund --no-save --ignore-scripts \
    --include=optional --loglevel=error --fetch-retries=1 --fetch-timeout=120000 "$@" >&2
}

npm_install "@anthropic-ai/claude-code@$version" ||
  fail "npm install of @anthropic-ai/claude-code@$version failed (is the npm registry reachable?)"

# Some npm configurations (omit=optional, a foreign lock file) skip optional
# dependencies; ask for the native package by name then.
if [[ ! -x "$stage/node_modules/$native_pkg/claude" ]]; then
  npm_install "$native_pkg@$version" ||
    fail "npm install of $native_pkg@$version failed (is the npm registry reachable?)"
fi
[[ -x "$stage/node_modules/$native_pkg/claude" ]] ||
  fail "npm finished but $native_pkg/claude is missing"

actual=$("$stage/node_modules/$native_pkg/claude" --version 2>/dev/null || true)
[[ "$actual" == "$version"* ]] || fail "installed binary reports version '$actual', expected $version"

rm -rf "$dir/node_modules"
mv "$stage/node_modules" "$dir/node_modules"
touch "$marker"
echo "$binary"
