# make run    sets up the machine, builds, and starts Varnomix
# make test   sets up the machine, builds, and runs every test
# make bench  sets up the machine, builds, and runs the benchmarks
# make install PREFIX=P  installs the programs, presets, skins, manuals and desktop entry under P
# make package           builds the Debian package varnomix_<version>_amd64.deb in the build folder
# make compare renders 60 s through the standard chain with varnomix-render and with sox, timed by hyperfine
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build run test bench compare clean install package

all: build

bootstrap:
	@bash scripts/bootstrap.sh

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

bench: build
	@$(BUILD)/varnomix-bench --benchmark_counters_tabular=true

compare: configure
	@BUILD=$(BUILD) bash bench/compare.sh

# --- install and package ---
PREFIX ?= /usr/local

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	@cd $(BUILD) && cpack -G DEB

# --- checking builds ----------------------------------------------------------------------
# make tsan             the threads stress test (a full rack walked while every control,
#                       slot, chain file, player and recorder is worked), the drivers' tests
#                       (built-in devices, output queue) and the render's rack split over two threads
#                       under ThreadSanitizer; any report fails the run. BINARY:FILTER runs only the
#                       tests FILTER of a binary.
# make fuzz SECONDS=N   every fuzz target for N seconds on its corpus in tests/fuzz/ (clang)
TSAN_BUILD ?= build-tsan
TSAN_TESTS ?= stress_tests drivers_tests tools_tests:RenderThreads.FileLengthsAtThePieceEdges
FUZZ_BUILD ?= build-fuzz
SECONDS ?= 60

.PHONY: tsan fuzz

tsan: bootstrap
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_TSAN=ON \
		-DVX_WITH_GUI=OFF -DVX_WITH_BENCH=OFF > /dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(foreach t,$(TSAN_TESTS),$(firstword $(subst :, ,$(t))))
	@cd $(TSAN_BUILD) && for t in $(TSAN_TESTS); do \
		case $$t in *:*) filter=--gtest_filter=$${t#*:};; *) filter=;; esac; \
		TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" ./$${t%%:*} $$filter || exit 1; done

fuzz: bootstrap
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON \
		-DVX_WITH_GUI=OFF -DVX_WITH_BENCH=OFF > /dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target vx_fuzz
	@bash scripts/fuzz.sh $(FUZZ_BUILD) $(SECONDS)

clean:
	rm -rf $(BUILD) build-asan $(TSAN_BUILD) $(FUZZ_BUILD)
