# Front door over CMake. `make test` builds from scratch and runs every test;
# `make demo` runs the example application.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
CTEST_JOBS ?= 8
DEB_PACKAGES := g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev \
                clang-tidy clang-format nats-server libnats-dev openssl libssl-dev libcpp-httplib-dev \
                python3 python3-pytest python3-cffi python3-setuptools python3-pip libbsd-dev ccache doxygen

.PHONY: all deps build docs package test test-sanitize demo bench bench-peers install clean fuzz demo-cluster bench-bridge mutate

all: build

# Installs missing Debian build packages when run as root; otherwise names the command.
deps:
	@command -v dpkg >/dev/null 2>&1 || exit 0; \
	missing=$$(for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Missing build packages. Run: sudo apt-get install -y" $$missing; exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)

# The reference from the headers' doc comments: man pages (section 3) and HTML in
# $(BUILD)/doc, the HTML copied to docs/reference/ (built, not committed: it follows the headers).
docs: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) --target docs
	rm -rf docs/reference && cp -r $(BUILD)/doc/html docs/reference
	@echo "docs/reference/index.html; man pages: man -M $(BUILD)/doc/man PXR_send"

# Debian packages in build-package/: libpxrlib1, libpxrlib-dev and pxr (apt install ./FILE.deb).
package: deps
	cmake -S . -B build-package -G Ninja -DPXR_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build-package
	cd build-package && cpack -G DEB
	@ls build-package/*.deb

test: deps
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) -j $(CTEST_JOBS) --output-on-failure

test-sanitize: deps
	rm -rf $(SAN_BUILD)
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPXR_SANITIZE=ON
	cmake --build $(SAN_BUILD)
	ctest --test-dir $(SAN_BUILD) -j $(CTEST_JOBS) --output-on-failure

# The loader finds ping and pong along PATH, as the spawn lines of demo.conf name them.
# Only the library, the pxr command and the two programs are built, not the tests.
demo: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) --target pxr ping pong
	PATH="$(abspath $(BUILD))/examples:$$PATH" $(BUILD)/tools/pxr load --timeout 60 examples/demo.conf

# Two environments in two IPC namespaces joined by their bridges through a nats-server.
# Only what the demo runs is built: the library, the pxr command, the bridge, ping and pong.
demo-cluster: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) --target pxr pxr-bridge ping pong
	BUILD=$(BUILD) bridge/demo-cluster.sh

# The bridge against NATS's own request/reply and publish/subscribe (median of 3). Results go
# to build-bench/bench, or to docs/bench with UPDATE_DOCS=1; gnuplot draws them.
bench-bridge: deps
	@$(MAKE) --no-print-directory deps DEB_PACKAGES=gnuplot-nox
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPXR_BUILD_TESTS=OFF
	cmake --build build-bench
	BUILD=build-bench bridge/bench-bridge.sh

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPXR_BUILD_BENCH=ON -DPXR_BUILD_TESTS=OFF
	cmake --build build-bench --target bench_msgpath
	@if [ -x build-bench/bench/run_bench.sh ]; then build-bench/bench/run_bench.sh; fi

# libpxrlib against its peers (installs them and gnuplot when run as root); QUICK=1 for a
# short run. Results go to build-peers/bench, or to docs/bench with UPDATE_DOCS=1.
bench-peers:
	bash bench/peers/run.sh

# Long fuzzing run of every libFuzzer target (clang): FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 300
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

# Mutation testing of the library and the pxr command (dev/mutate.py): each mutant's fate
# and the score. MUTATE_FILES / MUTATE_LINES narrow the candidates; MUTATE_LIST=tests/mutants.txt
# runs the hand-written mutants instead (see the script).
MUTATE_SEED   ?= 1
MUTATE_SAMPLE ?= 150
MUTATE_TIMEOUT ?= 30
mutate: deps
	MUTATE_SEED=$(MUTATE_SEED) MUTATE_SAMPLE=$(MUTATE_SAMPLE) MUTATE_TIMEOUT=$(MUTATE_TIMEOUT) \
	  MUTATE_FILES="$(MUTATE_FILES)" MUTATE_LINES="$(MUTATE_LINES)" MUTATE_LIST="$(MUTATE_LIST)" \
	  /usr/bin/python3 dev/mutate.py

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) build-bench build-fuzz build-package docs/reference
