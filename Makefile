# Entry points for people and CI. CMake does the building; this file only names the steps.

BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)
# The sanitizer suite runs one more than the cores: slow_test spends its half minute asleep.
TEST_JOBS  ?= $(shell echo $$(($(JOBS) + 1)))
CMAKE_ARGS ?=
# Unity batches and precompiled headers (see CS_FAST_BUILD in CMakeLists.txt); FAST= turns them off.
FAST       ?= -DCS_FAST_BUILD=ON
# Ninja when it is installed, for a build folder made now: one that exists keeps its generator.
gen = $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja 2>/dev/null),-G Ninja))

.PHONY: all build deps install test test-plain test-asan build-tests build-asan run-asan test-tsan check-macos bench fuzz demo clean

all: build

deps:
	@scripts/install-deps

build:
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) -DCMAKE_BUILD_TYPE=Release -DCS_TESTS=ON $(FAST) \
	  $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

install: deps
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) -DCMAKE_BUILD_TYPE=Release $(FAST) $(CMAKE_ARGS) \
	  >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target channel-server
	$(BUILD)/channel-server install-cli

# The plain suite runs while the sanitizer build compiles: most of its half minute is spent waiting
# on the product's own time limits, which leaves the cores to the compiler. Its output follows.
test: build-tests
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) >ctest-plain.log 2>&1 & plain=$$!; \
	$(MAKE) --no-print-directory build-asan; built=$$?; \
	wait $$plain; passed=$$?; cat $(BUILD)/ctest-plain.log; \
	[ $$passed -eq 0 ] && [ $$built -eq 0 ]
	@$(MAKE) --no-print-directory run-asan

test-plain: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan run-asan

# What the suites need, the bench left out.
build-tests:
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) -DCMAKE_BUILD_TYPE=Release -DCS_TESTS=ON $(FAST) \
	  $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target cs_tests

build-asan:
	cmake -S . -B $(BUILD_SAN) $(call gen,$(BUILD_SAN)) -DCMAKE_BUILD_TYPE=Debug -DCS_SANITIZE=ON \
	  -DCS_TESTS=ON $(FAST) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD_SAN) -j $(JOBS) --target cs_tests

run-asan:
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(TEST_JOBS)

# Clang with ThreadSanitizer, once over the whole suite (CI runs it after `make test`).
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DCS_TSAN=ON $(CMAKE_ARGS) >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Cross-compiles and links the product for arm64 and x86_64 macOS (it cannot run them here).
check-macos:
	scripts/check-macos

demo: build
	scripts/demo $(BUILD)/channel-server

# Each libFuzzer target in fuzz/ runs for FUZZ_SECONDS on a scratch corpus seeded from fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCS_FUZZ=ON \
	  -DCS_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $(notdir $(basename $(wildcard fuzz/*_fuzzer.cpp)))
	for f in fuzz/*_fuzzer.cpp; do \
	  t=$$(basename $$f .cpp); mkdir -p build-fuzz/corpus/$$t; \
	  build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(BUILD_SAN) build-tsan build-fuzz build-bench

# Figures against what the machine allows (BENCHMARKS.md), and a bounded soak; Release, own build dir.
# BENCH_CORPUS_MIB: the generated transcript history of the companion's rows (e.g. 100 for a quick run).
SOAK_SECONDS ?= 120
STATUSLINE_LOAD_SECONDS ?= 10
BENCH_CORPUS_MIB ?= 1024
.PHONY: soak
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCS_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build build-bench -j $(JOBS) --target channel-server bench-child cs-bench bench-companion
	build-bench/bench/cs-bench --load-seconds $(STATUSLINE_LOAD_SECONDS)
	build-bench/bench/bench-companion $(BENCH_CORPUS_MIB)
soak:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCS_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build build-bench -j $(JOBS) --target channel-server soak
	build-bench/bench/soak --seconds $(SOAK_SECONDS)
