# Two entry points: `make run` and `make test` do every set-up step themselves.
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=

.PHONY: all deps build run test check unit system clean bench asan tsan soak install uninstall deb fuzz fuzz-short

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

# The normal tree's tests, then the same unit and system tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the unit tests under
# ThreadSanitizer (every group runs threads of its own: HTTP workers against
# the caller, the overlay update thread, MQTT callbacks, detached command and
# reaper threads, lockstep sockets, the channel-output thread, the warning
# notifier, media player callbacks, the crash reporter's upload thread).
# Last, every fuzz target for 10 s (clang, build-fuzz/). Every pass runs; any
# failure fails the whole.
# Each pass prints how long it took: CI's time is bounded.
test: build
	@rc=0; t=$$(date +%s); \
	lap() { n=$$(date +%s); echo "make test: $$1 took $$((n - t)) s"; t=$$n; }; \
	bash scripts/run-tests $(BUILD) || { rc=1; echo "make test: tests of $(BUILD) FAILED"; }; lap "tests of $(BUILD)"; \
	LYRD_SANITIZED_SYSTEM=quick $(MAKE) --no-print-directory asan || { rc=1; echo "make test: AddressSanitizer pass FAILED"; }; lap "AddressSanitizer pass"; \
	$(MAKE) --no-print-directory tsan || { rc=1; echo "make test: ThreadSanitizer pass FAILED"; }; lap "ThreadSanitizer pass"; \
	$(MAKE) --no-print-directory fuzz-short || { rc=1; echo "make test: fuzz pass FAILED"; }; lap "fuzz pass"; \
	exit $$rc

# Only the normal tree's unit and system tests.
check: build
	@bash scripts/run-tests $(BUILD)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -E '^system_'

system: build
	cd $(BUILD) && ctest --output-on-failure -R '^system_'

bench: build
	@bash scripts/run-bench $(BUILD)

# Not part of `make test`: 30 minutes by default, SOAK_MINUTES= to shorten.
soak: build
	@python3 scripts/soak.py $(BUILD)

# Sanitizer trees take the caller's cmake flags but not -Werror: the
# instrumentation changes what the optimiser can prove, and GCC then warns
# about code that is clean in the normal tree, which -Werror already governs.
SAN_CMAKE_FLAGS = $(filter-out -DLYRD_SANITIZE=% -DLYRD_WERROR=%,$(CMAKE_FLAGS)) -DLYRD_WERROR=OFF

asan: deps
	cmake -S . -B build-asan $(SAN_CMAKE_FLAGS) -DLYRD_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	@bash scripts/run-tests build-asan all

tsan: deps
	cmake -S . -B build-tsan $(SAN_CMAKE_FLAGS) -DLYRD_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	@bash scripts/run-tests build-tsan unit

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
	rm -f "$(DESTDIR)$(PREFIX)/src/lyrd" "$(DESTDIR)$(PREFIX)/www/media_root.txt" \
		"$(DESTDIR)$(PREFIX)/scripts/get_uuid" "$(DESTDIR)$(UNIT_DIR)/lyrd.service"
	cd www && find . -type f | while read -r f; do rm -f "$(DESTDIR)$(PREFIX)/www/$$f"; done
	-cd www && find . -mindepth 1 -type d | sort -r | while read -r d; do rmdir "$(DESTDIR)$(PREFIX)/www/$$d" 2>/dev/null; done
	-rmdir "$(DESTDIR)$(PREFIX)/src" "$(DESTDIR)$(PREFIX)/www" "$(DESTDIR)$(PREFIX)/scripts" "$(DESTDIR)$(PREFIX)" 2>/dev/null

# Debian package lyrd_<version>_<arch>.deb in $(BUILD)/, made by CPack from
# this build tree (cmake/Package.cmake); DEB_VERSION= overrides the version
# taken from the source tree.
DEB_VERSION ?=

deb: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target lyrd
	cd $(BUILD) && cpack -G DEB $(if $(DEB_VERSION),-D CPACK_DEBIAN_PACKAGE_VERSION=$(DEB_VERSION) -D CPACK_PACKAGE_VERSION=$(DEB_VERSION))

# Each fuzz target for FUZZ_SECONDS in a private namespace (clang, build-fuzz/).
fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-fuzz

fuzz-short: deps
	@FUZZ_SECONDS=10 bash scripts/run-fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
