# Thin wrapper over CMake: `make run` builds and runs the relay here, `make test` runs every test.
BUILD   ?= build
CMAKE   ?= cmake
GEN     := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)
ROUNDS  ?= 3
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-tsan bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) $(GEN) $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/app/tavorin

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DTAVORIN_SANITIZE=address,undefined"

test-tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DTAVORIN_SANITIZE=thread"

# Every relay on the same workloads; prints a table of medians.
bench: build
	bench/run.sh $(BUILD) $(ROUNDS)

clean:
	rm -rf build build-asan build-tsan
