# Entry points for newcomers and CI: `make run` and `make test`.
JOBS := $(shell nproc)
# The build tool's own make runs below this one; keep its output free of
# "Entering directory" noise.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test lint package bench asan-configure asan-build asan-test tsan-configure tsan-build tsan-test arm64-configure arm64-build arm64-test package-arm64 ci fuzz clean

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
# UndefinedBehaviorSanitizer (build-asan; about two minutes more on two
# cores), the tests of what runs on several threads under ThreadSanitizer
# (build-tsan), the static arm64 build and its tests under qemu-user
# (build-arm64; about three minutes more), then the lint.
test: build asan-build tsan-build
	ctest --test-dir build --output-on-failure -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j$(JOBS)
	$(MAKE) arm64-test
	$(MAKE) lint

# What lint looks at: every source under src/.
LINT_FILES := $(sort $(wildcard src/*.cpp src/*/*.cpp src/*/*.h src/*/*/*.cpp src/*/*/*.h))

# clang-format (layout, .clang-format) and clang-tidy (.clang-tidy, with the
# compile commands of the release build, and clang's thread-safety analysis
# of the lock rules in utils/mutex.h); any finding fails. clang-tidy's count
# of the warnings it suppressed in system headers is left out.
lint: configure
	clang-format --dry-run --Werror $(LINT_FILES)
	printf '%s\n' $(filter %.cpp,$(LINT_FILES)) | xargs -P $(JOBS) -n 1 sh -c \
	  'out=$$(clang-tidy -p build --quiet --extra-arg=-Wthread-safety "$$0" 2>&1); status=$$?; \
	   printf "%s\n" "$$out" | grep -v -e "^[0-9]* warnings\? generated\.$$" -e "^$$"; exit $$status'

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

tsan-configure: deps
	cmake --preset tsan

tsan-build: tsan-configure
	cmake --build --preset tsan -j$(JOBS)

tsan-test: tsan-build
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

# The static release build for arm64 (build-arm64): Debian's aarch64 cross
# compiler and the arm64 libraries of dpkg's multiarch, which
# `install-deps arm64` adds. Its tests run under qemu-user; the arm64 test
# preset leaves out only ReadErrorTable.RunsEndAsWritten, the table's rows
# run once more end to end (two minutes of emulation; every row is still
# read in process): `ctest --preset arm64-all` runs it too.
arm64-configure:
	./scripts/install-deps arm64
	cmake --preset arm64

arm64-build: arm64-configure
	cmake --build --preset arm64 -j$(JOBS)

arm64-test: arm64-build
	ctest --preset arm64 -j$(JOBS)

# build-arm64/spansift_<version>_arm64.deb, with the static binary.
package-arm64: arm64-build
	cmake --build --preset arm64 --target package

# What CI builds besides: warnings as errors under g++ and clang++
# (build-ci-gcc, build-ci-clang), and the tests of both.
ci: deps
	for compiler in gcc clang; do \
	  cmake --preset ci-$$compiler && cmake --build --preset ci-$$compiler -j$(JOBS) && \
	  ctest --preset ci-$$compiler -j$(JOBS) || exit 1; \
	done

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
	rm -rf build build-asan build-tsan build-arm64 build-bench build-fuzz build-ci-gcc build-ci-clang examples/Jaeger
