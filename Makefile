# Entry points for newcomers and CI: `make run` and `make test`.
JOBS := $(shell nproc)
# The build tool's own make runs below this one; keep its output free of
# "Entering directory" noise.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test package bench asan-configure asan-build asan-test fuzz clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake --preset release

build: configure
	cmake --build --preset release -j$(JOBS)

# Runs on the bundled exports; the output folder is removed first so that
# every run starts fresh.
run: build
	rm -rf examples/Jaeger
	build/spansift examples

# The tests, then the same tests built again with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan; about two minutes more on two cores).
test: build asan-build
	ctest --test-dir build --output-on-failure -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# The Debian package build/spansift_<version>_<arch>.deb (CPack; the
# dependencies come from dpkg-shlibdeps).
package: build
	cmake --build --preset release --target package

# Speed and memory on generated exports of about 30, 100 and 300 MB, side by
# side with the write floor and a Python baseline; prints one table. See
# bench/README.md (BENCH_QUICK=1 checks the harness in about a minute).
bench: deps
	./bench/run

asan-configure: deps
	cmake --preset asan

asan-build: asan-configure
	cmake --build --preset asan -j$(JOBS)

asan-test: asan-build
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# Not part of CI: builds the libFuzzer targets (clang++, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS seconds; fails on
# any crash, leak, hang or disagreement. See fuzz/run-fuzzers.
FUZZ_SECONDS ?= 60
fuzz:
	./scripts/install-deps fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run-fuzzers build-fuzz

clean:
	rm -rf build build-asan build-bench build-fuzz examples/Jaeger
