# Entry points for people and CI. CMake does the building; this file only names the steps.

BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all build deps install test test-plain test-asan bench fuzz demo clean

all: build

deps:
	@scripts/install-deps

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCS_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target channel-server
	$(BUILD)/channel-server install-cli

test: test-plain test-asan

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DCS_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) build-fuzz build-bench
