# Front door for building, testing and running vorpa. Every target first
# installs missing Debian packages (scripts/setup.sh; nothing when all is
# there).
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
ARGS ?=

MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build test run clean

all: build

setup:
	@./scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

run: configure
	cmake --build $(BUILD) --target vorpa -j$(JOBS)
	$(BUILD)/vorpa $(ARGS)

clean:
	rm -rf $(BUILD)
