# Front door for building, testing, trying and installing vorpa. Every
# target that builds first installs missing Debian packages
# (scripts/setup.sh; nothing when all is there).
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build test run demo install clean

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

# Servers of our own on free ports of 127.0.0.1, one "vorpa all" against
# them, and what it did, all in $(BUILD)/demo.
demo: configure
	cmake --build $(BUILD) --target vorpa vorpa-demo -j$(JOBS)
	$(BUILD)/vorpa-demo $(BUILD)/vorpa $(BUILD)/demo

# Installs what the build folder holds, building it first when there is
# none: "sudo make install" after "make" then writes nothing of root's
# into the build folder but the list of installed files.
install:
	@[ -x $(BUILD)/vorpa ] || $(MAKE) build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

clean:
	rm -rf $(BUILD)
