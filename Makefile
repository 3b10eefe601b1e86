# Two entry points: `make run` and `make test` do every set-up step themselves.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test unit system clean bench asan tsan

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

clean:
	rm -rf $(BUILD) build-asan build-tsan
