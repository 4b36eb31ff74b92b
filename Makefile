# Thin wrapper around CMake, so that a fresh checkout needs only `make run`
# and `make test`.
BUILD ?= build
DIR ?= examples
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# CI sets CI=true; there every warning fails the build.
WERROR ?= $(if $(CI),ON,OFF)
CMAKE_ARGS ?=

.PHONY: all build run test clean format

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
