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

# The tool alone, in the Release build without the tests that `make install`
# and `make package` use too: no GoogleTest, a first run that builds in
# seconds rather than minutes, and an install after it that builds nothing
# again.
RELEASE_BUILD ?= build-release

$(RELEASE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DWAVTALLY_TESTS=OFF \
	  -DWAVTALLY_WERROR=$(WERROR) $(CMAKE_ARGS)

.PHONY: tool
tool: $(RELEASE_BUILD)/CMakeCache.txt
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target wavtally

# The build's own messages go to standard error, so that
# `make run DIR=x > report.tsv` saves the report alone.
run:
	@$(MAKE) --no-print-directory tool >&2
	@$(RELEASE_BUILD)/wavtally "$(DIR)"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The POSIX layer as a Mac or a BSD builds it, every Linux accelerator
# (getdents64, O_PATH, /proc, io_uring) left out, with every test.
PORTABLE_BUILD ?= build-portable
.PHONY: test-portable
test-portable:
	@$(MAKE) --no-print-directory test BUILD=$(PORTABLE_BUILD) \
	  CMAKE_ARGS="-DWAVTALLY_PORTABLE=ON $(CMAKE_ARGS)"

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD)

# Installing and packaging use the Release build of `make run`.
PREFIX ?= /usr/local

.PHONY: release install package

release: $(RELEASE_BUILD)/CMakeCache.txt
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

install: release
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_BUILD) --prefix "$(PREFIX)"

# $(RELEASE_BUILD)/wavtally_<version>_<arch>.deb and SHA256SUMS; the same
# bytes from every checkout of the same commit (packaging/make-package).
package: release
	packaging/make-package $(RELEASE_BUILD)

# Benchmark: the Release build above, a generated library outside the source
# tree (made once per size), and bench/run timing wavtally against
# bench/baseline and find: cold cache (as root), a latency-injecting share
# (libfuse3), warm cache. BENCH_ONLY=cold,remote,warm,callgrind,sizes,rss100k,deep
# picks sections; bench/README.md has the rest. Not part of `make test`.
BENCH_DIR ?= /tmp/wavtally-bench
BENCH_FILES ?= 20000
BENCH_RUNS ?= 11
BENCH_ONLY ?=
BENCH_ARGS ?=
BENCH_CXX ?= g++
BENCH_CXXFLAGS ?= -std=c++20 -O2 -Wall -Wextra -Wpedantic $(if $(filter ON,$(WERROR)),-Werror)

$(RELEASE_BUILD)/baseline: bench/baseline.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(RELEASE_BUILD)/make_tree: bench/make_tree.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(RELEASE_BUILD)/measure: bench/measure.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -o $@ $<

$(RELEASE_BUILD)/parallel_floor: bench/parallel_floor.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) -pthread -o $@ $<

# The latency-injecting share needs libfuse3; without it the bench says
# which packages to install and skips the remote figures.
$(RELEASE_BUILD)/latency_fs: bench/latency_fs.cc $(RELEASE_BUILD)/CMakeCache.txt
	$(BENCH_CXX) $(BENCH_CXXFLAGS) $$(pkg-config --cflags fuse3) -o $@ $< $$(pkg-config --libs fuse3)

bench: release $(RELEASE_BUILD)/baseline $(RELEASE_BUILD)/make_tree $(RELEASE_BUILD)/measure \
	  $(RELEASE_BUILD)/parallel_floor
	@if pkg-config --exists fuse3; then $(MAKE) --no-print-directory $(RELEASE_BUILD)/latency_fs; \
	  else rm -f $(RELEASE_BUILD)/latency_fs; fi
	python3 bench/run --bin-dir $(RELEASE_BUILD) --bench-dir $(BENCH_DIR) \
	  --files $(BENCH_FILES) --runs $(BENCH_RUNS) $(if $(BENCH_ONLY),--only $(BENCH_ONLY)) $(BENCH_ARGS)

# Windows x86-64 build, cross-compiled with MinGW-w64 and tested under Wine.
WINDOWS_BUILD ?= build-windows

.PHONY: windows test-windows package-windows

$(WINDOWS_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DWAVTALLY_TESTS=OFF -DWAVTALLY_WERROR=$(WERROR) $(CMAKE_ARGS)

windows: $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# Runs the same trees through build/wavtally and wavtally.exe and compares.
test-windows: build windows
	tests/windows/run-tests $(BUILD)/wavtally $(WINDOWS_BUILD)/wavtally.exe

# A corpus of real files written by ffmpeg and sox (apt-get install ffmpeg
# sox), reported on by both builds and checked against ffprobe.
.PHONY: test-corpus
test-corpus: build windows
	tests/windows/check-corpus $(BUILD)/wavtally $(WINDOWS_BUILD)/wavtally.exe

# $(WINDOWS_BUILD)/wavtally-<version>-windows-x86_64.zip: wavtally.exe,
# README.md and LICENSE.txt in one folder; SHA256SUMS beside it.
package-windows: windows
	packaging/make-package $(WINDOWS_BUILD)

# Sanitizers, fuzzing and coverage. Each uses its own build folder, so none
# of them disturbs the plain build above.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
COV_BUILD ?= build-coverage
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
SANITIZE = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# The tests run the sanitized binary too; it inherits these settings. Leak
# checking stays on in both.
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: test-sanitize test-tsan fuzz coverage

# A sanitized test runs up to ten times slower; a hang is still stopped.
SANITIZED_TIMEOUT = 300

test-sanitize:
	cmake -S . -B $(ASAN_BUILD) -DWAVTALLY_WERROR=$(WERROR) -DCMAKE_BUILD_TYPE=Debug \
	  -DWAVTALLY_TEST_TIMEOUT=$(SANITIZED_TIMEOUT) \
	  "-DCMAKE_CXX_FLAGS=-O1 $(SANITIZE)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE)"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer: every test, the end-to-end runs of the binary included;
# any report fails the run. By default TSan sleeps a second before each
# exit; the tests start the binary hundreds of times.
TSAN_BUILD ?= build-tsan
TSAN = -fsanitize=thread -fno-omit-frame-pointer
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DWAVTALLY_WERROR=$(WERROR) -DCMAKE_BUILD_TYPE=Debug \
	  -DWAVTALLY_TEST_TIMEOUT=$(SANITIZED_TIMEOUT) \
	  "-DCMAKE_CXX_FLAGS=-O1 $(TSAN)" "-DCMAKE_EXE_LINKER_FLAGS=$(TSAN)"
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:exitcode=66:atexit_sleep_ms=0 ctest --output-on-failure -j $(JOBS)

FUZZ_FLAGS = -std=c++20 -g -O1 -Wall -Wextra -Wpedantic $(if $(filter ON,$(WERROR)),-Werror) \
	-Isrc -Itests
# The reader never wraps an unsigned value on purpose, so a wrap is a finding.
FUZZ_SANITIZE = -fsanitize=fuzzer,address,undefined,unsigned-integer-overflow \
	-fno-sanitize-recover=all
FUZZ_SOURCES = fuzz/wav_reader_fuzz.cc src/base/wav_reader.cc src/base/file_content.cc src/base/byte_source.cc \
	src/base/text.cc src/base/file_system.cc src/base/name_list.cc src/base/path.cc \
	src/base/posix/folder_posix.cc src/base/posix/at_path.cc src/base/posix/posix_error.cc \
	src/base/posix/read_all.cc src/base/posix/head_reader.cc

$(FUZZ_BUILD)/wav_reader_fuzz: $(FUZZ_SOURCES) $(wildcard src/base/*.h src/base/posix/*.h)
	mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) $(FUZZ_FLAGS) $(FUZZ_SANITIZE) $(FUZZ_SOURCES) -o $@

$(FUZZ_BUILD)/make_seeds: fuzz/make_seeds.cc tests/wave_builder.h
	mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) $(FUZZ_FLAGS) fuzz/make_seeds.cc -o $@

# Fails on the first finding; the input that caused it lands in
# $(FUZZ_BUILD)/findings/ and reproduces with `$(FUZZ_BUILD)/wav_reader_fuzz FILE`.
fuzz: $(FUZZ_BUILD)/wav_reader_fuzz $(FUZZ_BUILD)/make_seeds
	rm -rf $(FUZZ_BUILD)/seeds
	mkdir -p $(FUZZ_BUILD)/seeds $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/findings
	$(FUZZ_BUILD)/make_seeds $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/wav_reader_fuzz -dict=fuzz/wav.dict -max_len=12288 -timeout=30 \
	  -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=$(FUZZ_BUILD)/findings/ $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds

# Line and branch coverage of the WAV reader by its own unit tests (clang's
# source-based coverage). Only those run: the end-to-end tests start the
# binary as another user, who could not write its profile. It installs
# nothing; what it needs comes from Debian's packages clang, llvm
# (llvm-profdata, llvm-cov) and libclang-rt-<clang's major version>-dev (the
# profile runtime). llvm-<version> alone names the tools llvm-cov-<version>:
# `make coverage LLVM_PROFDATA=llvm-profdata-14 LLVM_COV=llvm-cov-14`.
LLVM_PROFDATA ?= llvm-profdata
LLVM_COV ?= llvm-cov

coverage:
	@command -v clang++ >/dev/null 2>&1 || \
	  { echo "make coverage: clang++ not found: apt-get install clang" >&2; exit 1; }
	@for tool in $(LLVM_PROFDATA) $(LLVM_COV); do \
	  command -v $$tool >/dev/null 2>&1 || { echo "make coverage: $$tool not found:" \
	    "apt-get install llvm, or name the tools: LLVM_PROFDATA=llvm-profdata-N LLVM_COV=llvm-cov-N" >&2; \
	    exit 1; }; \
	done
	@mkdir -p $(COV_BUILD) && echo 'int main() {}' | \
	  clang++ -x c++ -fprofile-instr-generate -o $(COV_BUILD)/runtime-check - 2>/dev/null || \
	  { echo "make coverage: clang's profile runtime is missing: apt-get install" \
	    "libclang-rt-$$(clang++ --version | sed -n '1s/.*clang version \([0-9][0-9]*\).*/\1/p')-dev" >&2; \
	    exit 1; }
	cmake -S . -B $(COV_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping"
	cmake --build $(COV_BUILD) -j $(JOBS)
	rm -rf $(COV_BUILD)/profiles
	cd $(COV_BUILD) && LLVM_PROFILE_FILE=$(CURDIR)/$(COV_BUILD)/profiles/%p.profraw \
	  ./wavtally_tests --gtest_brief=1 '--gtest_filter=WaveReaderTest.*:WaveFileTest.*'
	$(LLVM_PROFDATA) merge -sparse $(COV_BUILD)/profiles/*.profraw -o $(COV_BUILD)/tests.profdata
	$(LLVM_COV) report $(COV_BUILD)/wavtally_tests -instr-profile=$(COV_BUILD)/tests.profdata \
	  src/base/wav_reader.cc
	$(LLVM_COV) show $(COV_BUILD)/wavtally_tests -instr-profile=$(COV_BUILD)/tests.profdata \
	  -show-branches=count -format=html -output-dir=$(COV_BUILD)/html src/base/wav_reader.cc
	@echo "annotated source: $(COV_BUILD)/html/index.html"
