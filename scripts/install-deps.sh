#!/usr/bin/env bash
# Installs the Debian packages Parley builds and tests with. Idempotent: only
# what is missing is installed, and the package lists are refreshed at most
# once per run. Safe to call before every build.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libpcre2-dev libutf8proc-dev libssl-dev libqrencode-dev libcli11-dev libgit2-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
  libcurl4-openssl-dev libspdlog-dev libespeak-ng-dev espeak-ng-data
  libpocketsphinx-dev pocketsphinx-en-us libpulse-dev libsoxr-dev
  libwebrtc-audio-processing-dev
  tmux procps socat dbus-daemon pulseaudio
  # The web faces are tested in a real headless browser.
  chromium chromium-driver
  # The Debian package's dependencies come from dpkg-shlibdeps, which CPack
  # runs on the executables it recognises with file.
  dpkg-dev file
)

# Node.js and npm are only needed by the tests that install the real Claude
# Code from the npm registry and by the relay benchmark's Node.js baseline. A
# machine that already has them (from any source) keeps its own.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

# `make fuzz` builds the libFuzzer targets, which need clang and its runtime;
# `make lint` runs clang-format and clang-tidy.
if [[ "${1:-}" == fuzz ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [[ "${1:-}" == lint ]]; then
  packages+=(clang-format clang-tidy)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null 2>&1 || {
    echo "install-deps: missing packages (${missing[*]}) and no sudo to install them" >&2
    exit 1
  }
  sudo=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
