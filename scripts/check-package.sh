#!/usr/bin/env bash
# What a distribution packager or a new user does, checked: a plain Release
# build (no presets, so warnings are not errors) that must print no warning or
# note, its unit and integration tests, then the Debian package built with
# CPack, its dependencies and files checked, unpacked into a scratch root and
# the installed parley run from there.
#
#   BUILD_DIR      the build directory (default build-package)
#   JOBS           parallel jobs (default: the number of cores)
#   PACKAGE_TESTS  OFF builds only what is packaged, for a caller that has
#                  run the tests in other builds already (default ON)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${BUILD_DIR:-build-package}
jobs=${JOBS:-$(nproc)}
fail() {
  echo "check-package: $*" >&2
  exit 1
}

tests=${PACKAGE_TESTS:-ON}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPARLEY_BUILD_TESTS="$tests" \
  -DPARLEY_BUILD_BENCH="$tests" >/dev/null
status=0
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 || status=$?
grep -v '^\[' "$build/build.log" || true
[[ $status == 0 ]] || fail "the plain build failed (exit $status)"
if grep -En 'warning:|note:|#pragma message' "$build/build.log"; then
  fail "the plain build printed warnings or notes (above)"
fi
if [[ $tests == ON ]]; then
  ctest --test-dir "$build" -j "$jobs" -LE e2e --output-on-failure
fi

rm -f "$build"/parley_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/parley_*.deb)
echo "check-package: $deb ($(stat -c %s "$deb") bytes)"

# Dependencies: the libraries the executables link, found by dpkg-shlibdeps,
# and tmux, which Parley runs.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for lib in libc6 libstdc++6 libboost-json1.81.0 libssl3 libsystemd0 libespeak-ng1 tmux; do
  grep -qx "$lib" <<<"$names" || fail "Depends lacks $lib"
done

# Exactly these files, nothing else.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/parley ./usr/bin/parley-hook \
  ./usr/lib/systemd/user/parley.service ./usr/share/applications/parley.desktop | sort)
[[ "$files" == "$expected" ]] || fail "the package holds:"$'\n'"$files"$'\n'"instead of:"$'\n'"$expected"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root/root"
grep -qx 'ExecStart=/bin/sh -lc '"'"'exec "$$0" run --no-open'"'"' /usr/bin/parley' \
  "$root/root/usr/lib/systemd/user/parley.service" || fail "the unit does not run /usr/bin/parley"
if command -v systemd-analyze >/dev/null; then
  (cd "$root/root/usr/lib/systemd/user" && systemd-analyze verify ./parley.service) ||
    fail "systemd rejects the unit"
fi
grep -qx 'Exec=/usr/bin/parley panel' "$root/root/usr/share/applications/parley.desktop" ||
  fail "the desktop entry does not run /usr/bin/parley"

parley=$root/root/usr/bin/parley
version=$("$parley" --version)
[[ "$version" == "parley $(sed -n 's/^project(parley VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]] ||
  fail "the installed parley says '$version'"
mkdir "$root/home"
# A scratch HOME has no hooks and no running Parley, so the doctor fails; it
# must still run every check and say what to do.
status=0
HOME=$root/home "$parley" doctor >"$root/doctor.out" || status=$?
cat "$root/doctor.out"
[[ $status == 1 ]] || fail "parley doctor exited $status, not 1"
grep -q 'run `parley hooks install`' "$root/doctor.out" || fail "parley doctor named no fix for the hooks"
echo "check-package: ok"
