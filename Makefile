# Two entry points: `make run` and `make test` do every set-up step themselves.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test unit system clean bench asan tsan install uninstall

all: build

deps:
	@bash scripts/install-deps

$(BUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/demo

test: build
	@bash scripts/run-tests $(BUILD)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -E '^system_'

system: build
	cd $(BUILD) && ctest --output-on-failure -R '^system_'

bench: build
	@bash scripts/run-bench $(BUILD)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DLYRD_SANITIZE=address,undefined"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DLYRD_SANITIZE=thread"

# Install directory (the daemon finds its files relative to <PREFIX>/src/lyrd),
# media directory (default /home/lyr/media, or the one a previous install
# recorded) and systemd unit folder; DESTDIR stages the whole tree.
PREFIX ?= /opt/lyrd
MEDIA_DIR ?=
UNIT_DIR ?= /etc/systemd/system
DESTDIR ?=

install: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target lyrd
	DESTDIR="$(DESTDIR)" LYRD_MEDIA_DIR="$(MEDIA_DIR)" LYRD_SYSTEMD_UNIT_DIR="$(UNIT_DIR)" \
		cmake --install $(BUILD) --prefix "$(PREFIX)"

# Removes what install put in place (same PREFIX, UNIT_DIR and DESTDIR); the
# media directory stays.
uninstall:
	rm -f "$(DESTDIR)$(PREFIX)/src/lyrd" "$(DESTDIR)$(PREFIX)/www/settings.json" \
		"$(DESTDIR)$(PREFIX)/www/media_root.txt" "$(DESTDIR)$(PREFIX)/scripts/get_uuid" \
		"$(DESTDIR)$(UNIT_DIR)/lyrd.service"
	-rmdir "$(DESTDIR)$(PREFIX)/src" "$(DESTDIR)$(PREFIX)/www" "$(DESTDIR)$(PREFIX)/scripts" "$(DESTDIR)$(PREFIX)" 2>/dev/null

clean:
	rm -rf $(BUILD) build-asan build-tsan
