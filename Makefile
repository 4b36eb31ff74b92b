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
