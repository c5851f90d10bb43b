# Entry points for people and CI. Each one installs what is missing first, so a
# fresh Debian 12 machine needs nothing else.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: run test bench soak fuzz deps build build-release format lint clean claude-code

# Only the two programs (and the pages they embed), optimised: a first
# `make run` on a bare machine does not wait for the test suite to compile,
# and the application people keep running is not the sanitised test build.
run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target parley parley-hook -j $(JOBS)
	./build-release/bin/parley run

# The whole suite, end-to-end tests included, in one build under
# AddressSanitizer and UndefinedBehaviorSanitizer: one build where there were
# two (a plain one, then the same tests sanitised), which cost CI a quarter
# of an hour.
test: build claude-code
	ctest --preset dev -j $(JOBS) $(CTEST_ARGS)

bench: build-release
	cmake --build --preset release --target run-benchmarks

# The real application under load and floods for SOAK_SECONDS, one line of
# figures per run. Separate from `make test` and `make bench`.
SOAK_SECONDS ?= 60
soak: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target soak parley parley-hook -j $(JOBS)
	SOAK_SECONDS=$(SOAK_SECONDS) ./build-release/bin/soak

# libFuzzer targets, built with clang in build-fuzz/, each run for
# FUZZ_SECONDS. Separate from `make test`: fuzzing has no fixed end.
FUZZ_SECONDS ?= 30
fuzz:
	./scripts/install-deps.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEY_BUILD_FUZZ=ON -DPARLEY_BUILD_TESTS=OFF \
	  -DPARLEY_BUILD_BENCH=OFF -DPARLEY_WERROR=ON -DPARLEY_PCH=OFF >/dev/null
	cmake --build build-fuzz --target fuzzers -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/run-fuzzers.sh

deps:
	./scripts/install-deps.sh

# The real Claude Code for the end-to-end tests. A failed install does not fail
# the build: those tests then skip and say how to install it.
claude-code: deps
	-./scripts/install-claude-code.sh >/dev/null

build: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

build-release: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
	"$$(./scripts/install-web-tools.sh)/node_modules/.bin/prettier" --write --log-level warn web

# What CI holds the tree to besides its tests: C++ formatting, clang-tidy on
# src/ (.clang-tidy), and ESLint and Prettier on web/. clang-tidy reads each
# library as one unity source: the heavy Boost headers are parsed once per
# library instead of once per file, which takes the run from about eight
# minutes to under one on two cores. The price is that names private to a
# file (in an anonymous namespace) must differ across its library, which a
# unity build holds anyway. Configured without precompiled headers, which
# clang cannot read; the embedded pages are generated data, not linted.
lint:
	./scripts/install-deps.sh lint
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
	cmake -S . -B build-lint -DCMAKE_BUILD_TYPE=Debug -DPARLEY_PCH=OFF -DCMAKE_UNITY_BUILD=ON \
	  -DCMAKE_UNITY_BUILD_BATCH_SIZE=0 -DPARLEY_BUILD_TESTS=OFF -DPARLEY_BUILD_BENCH=OFF >/dev/null
	run-clang-tidy -p build-lint -j $(JOBS) -quiet '$(CURDIR)/build-lint/src/(?!app/CMakeFiles/parley_web_)' \
	  >build-lint/clang-tidy.log 2>&1 || \
	  { grep -E 'error:|warning:' build-lint/clang-tidy.log | sort -u; exit 1; }
	"$$(./scripts/install-web-tools.sh)/node_modules/.bin/eslint" web
	"$$(./scripts/install-web-tools.sh)/node_modules/.bin/prettier" --check --log-level warn web

clean:
	rm -rf build build-release build-fuzz build-package build-lint
