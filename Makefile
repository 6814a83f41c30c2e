# Thin wrapper over CMake: `make run` builds and runs the relay here, `make test` runs every test.
SHELL   := /bin/bash
BUILD   ?= build
CMAKE   ?= cmake
GEN     := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)
ROUNDS  ?= 3
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-tsan bench fuzz clean

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

# Each fuzz target for FUZZ_SECONDS, with AddressSanitizer and UndefinedBehaviorSanitizer.
# New inputs go to build-fuzz/corpus; the seeds in fuzz/corpus stay as they are.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := profile number datagram
fuzz:
	$(MAKE) build BUILD=build-fuzz CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DTAVORIN_FUZZ=ON \
	  -DTAVORIN_TESTS=OFF -DTAVORIN_SANITIZE=address,undefined"
	set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/ build-fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | tail -12; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

# Every relay on the same workloads; prints a table of medians.
bench: build
	bench/run.sh $(BUILD) $(ROUNDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
