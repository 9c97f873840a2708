# Front door for building, testing, trying and installing vorpa. Every
# target that builds first installs the Debian packages it lacks
# (scripts/setup.sh: nothing when all is there); "make" builds the program
# alone, "make test" the tests too.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=
# The sets of packages setup.sh adds to the program's (a target sets it).
SETUP =

MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build test run demo install deb clean

all: build

setup:
	@./scripts/setup.sh $(SETUP)

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) --target vorpa -j$(JOBS)

test: SETUP = test
test: configure
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

run: build
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

# $(BUILD)/vorpa_<version>_<arch>.deb: the program, its man page, the
# example configuration and the systemd user units, under /usr.
deb: SETUP = deb
deb: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
