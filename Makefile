# The two commands a new machine needs:
#   make run   installs what is missing, builds, and opens the window
#   make test  installs what is missing, builds, and runs every test

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	@if [ -x $(BUILD_DIR)/morvane-parcelor ]; then \
		$(BUILD_DIR)/morvane-parcelor; \
	else \
		echo "The engine is built; the desktop window is not part of this build yet."; \
	fi

clean:
	@rm -rf $(BUILD_DIR)
