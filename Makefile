# Thin wrapper around CMake, so that a fresh checkout needs only `make run`
# and `make test`.
BUILD ?= build
DIR ?= examples
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# CI sets CI=true; there every warning fails the build.
WERROR ?= $(if $(CI),ON,OFF)
CMAKE_ARGS ?=

.PHONY: all build run test clean format bench

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DWAVTALLY_WERROR=$(WERROR) $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/wavtally "$(DIR)"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD)

# Benchmark: a Release build of its own, a generated library outside the
# source tree (made once per size), and bench/run timing wavtally against
# bench/baseline and find. Not part of `make test`.
BENCH_BUILD ?= build-release
BENCH_DIR ?= /tmp/wavtally-bench
BENCH_FILES ?= 20000
BENCH_RUNS ?= 11
BENCH_ARGS ?=
BENCH_CXX ?= g++
BENCH_CXXFLAGS ?= -std=c++20 -O2 -Wall -Wextra -Wpedantic $(if $(filter ON,$(WERROR)),-Werror)

$(BENCH_BUILD)/CMakeCache.txt:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DWAVTALLY_TESTS=OFF -DWAVTALLY_WERROR=$(WERROR)

$(BENCH_BUILD)/baseline: bench/baseline.cc $(BENCH_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(BENCH_BUILD)/make_tree: bench/make_tree.cc $(BENCH_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(BENCH_BUILD)/measure: bench/measure.cc $(BENCH_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

bench: $(BENCH_BUILD)/CMakeCache.txt $(BENCH_BUILD)/baseline $(BENCH_BUILD)/make_tree \
    $(BENCH_BUILD)/measure
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target wavtally
	python3 bench/run --bin-dir $(BENCH_BUILD) --bench-dir $(BENCH_DIR) \
	  --files $(BENCH_FILES) --runs $(BENCH_RUNS) $(BENCH_ARGS)
