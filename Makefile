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

clean:
	rm -rf $(BUILD) build-asan

# --- install and package ---
PREFIX ?= /usr/local

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	@cd $(BUILD) && cpack -G DEB
