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

# The build's own messages go to standard error, so that
# `make run DIR=x > report.tsv` saves the report alone.
run:
	@$(MAKE) --no-print-directory build >&2
	@$(BUILD)/wavtally "$(DIR)"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD)

# Installing and packaging use their own Release build without the tests.
RELEASE_BUILD ?= build-release
PREFIX ?= /usr/local

.PHONY: release install package

$(RELEASE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DWAVTALLY_TESTS=OFF \
	  -DWAVTALLY_WERROR=$(WERROR) $(CMAKE_ARGS)

release: $(RELEASE_BUILD)/CMakeCache.txt
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

install: release
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_BUILD) --prefix "$(PREFIX)"

package: release
	cd $(RELEASE_BUILD) && cpack -G DEB

# Benchmark: the Release build above, a generated library outside the source
# tree (made once per size), and bench/run timing wavtally against
# bench/baseline and find. Not part of `make test`.
BENCH_DIR ?= /tmp/wavtally-bench
BENCH_FILES ?= 20000
BENCH_RUNS ?= 11
BENCH_ARGS ?=
BENCH_CXX ?= g++
BENCH_CXXFLAGS ?= -std=c++20 -O2 -Wall -Wextra -Wpedantic $(if $(filter ON,$(WERROR)),-Werror)

$(RELEASE_BUILD)/baseline: bench/baseline.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(RELEASE_BUILD)/make_tree: bench/make_tree.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(RELEASE_BUILD)/measure: bench/measure.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

bench: release $(RELEASE_BUILD)/baseline $(RELEASE_BUILD)/make_tree $(RELEASE_BUILD)/measure
	python3 bench/run --bin-dir $(RELEASE_BUILD) --bench-dir $(BENCH_DIR) \
	  --files $(BENCH_FILES) --runs $(BENCH_RUNS) $(BENCH_ARGS)

# Windows x86-64 build, cross-compiled with MinGW-w64 and tested under Wine.
WINDOWS_BUILD ?= build-windows

.PHONY: windows test-windows

$(WINDOWS_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DWAVTALLY_TESTS=OFF -DWAVTALLY_WERROR=$(WERROR) $(CMAKE_ARGS)

windows: $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# Runs the same trees through build/wavtally and wavtally.exe and compares.
test-windows: build windows
	tests/windows/run-tests $(BUILD)/wavtally $(WINDOWS_BUILD)/wavtally.exe
