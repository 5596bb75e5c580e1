# The two commands a new machine needs:
#   make run   installs what is missing, builds, and opens the window
#   make test  installs what is missing, builds, and runs every test but the slow ones
#              (the package and the engine's standalone build: `make test-slow`, run by CI)

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# ON or OFF: whether a warning fails the build (PARCELOR_WERROR). The project's
# own test builds set it; left empty, the build folder keeps what it had, so
# `make run` on a fresh clone, like any user's or packager's build, never
# fails on a warning that another compiler gives.
WERROR ?=


.PHONY: all deps sanitizer-deps configure build test test-slow run clean test-asan test-tsan check-release fuzz bench package

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		$(if $(WERROR),-DPARCELOR_WERROR=$(WERROR)) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: WERROR = ON
test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# The tests labelled slow: the .deb built, unpacked and run, and the engine
# built for an outside caller with a bare compiler command.
test-slow: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -L slow

# Builds the window and its libraries only (no tests), then opens it; without
# a display it says how to start it instead, and that is no failure.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target morvane-parcelor
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ] && [ "$$QT_QPA_PLATFORM" != offscreen ]; then \
		echo "No display found. Run the window on a desktop, or without one: xvfb-run -a $(BUILD_DIR)/morvane-parcelor"; \
	else $(BUILD_DIR)/morvane-parcelor; fi

# A .deb of both programs, in $(BUILD_DIR).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, but
# the slow tests, which gain nothing from them (CI runs those in the plain build).
sanitizer-deps:
	@scripts/install-deps.sh sanitizers

test-asan: sanitizer-deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 -DPARCELOR_WERROR=ON \
		-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -LE slow

# The threaded tests under ThreadSanitizer (the mount serves from several threads).
test-tsan: sanitizer-deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 -DPARCELOR_WERROR=ON \
		-DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L 'engine|app|mount' -LE slow

# The Release build (-O3) of everything a package holds, with every warning an
# error: GCC's optimiser warns of things the other builds never see. Compiled
# only; the tests, already run in the other builds, are left out.
check-release: deps
	@cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARCELOR_WERROR=ON \
		-DPARCELOR_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-release -j $(JOBS)

# Timings against split, cat and tar on the same machine (quick data).
bench:
	@bench/run.sh --quick

# Feeds arbitrary manifests through the load, the inspection and the join.
FUZZ_SECONDS ?= 60
fuzz: sanitizer-deps
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DPARCELOR_FUZZ=ON -DPARCELOR_BUILD_TESTS=OFF \
		-DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target manifest_fuzzer
	@mkdir -p build-fuzz/corpus
	@build-fuzz/tests/fuzz/manifest_fuzzer build-fuzz/corpus tests/fuzz/corpus tests/fuzz/regressions \
		-max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -max_len=8192 -timeout=30 \
		-artifact_prefix=build-fuzz/ -print_final_stats=1

clean:
	@rm -rf $(BUILD_DIR) build-asan build-tsan build-release build-fuzz
