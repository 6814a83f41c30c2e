# Thin wrapper over CMake: `make run` builds and runs the relay here, `make test` runs every test.
SHELL   := /bin/bash
BUILD   ?= build
CMAKE   ?= cmake
GEN     := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)
ROUNDS  ?= 3
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: FORCE all build run test test-asan test-tsan bench fuzz windows test-windows package \
  package-windows format format-check clean

all: build

# Every build of the project's own treats warnings as errors; CMAKE_ARGS comes after, so that
# -DTAVORIN_WERROR=OFF there still turns it off.
CONFIGURE_ARGS = $(strip -DTAVORIN_WERROR=ON $(CMAKE_ARGS))

# A build directory is configured afresh whenever CONFIGURE_ARGS differs from what it was last
# configured with (kept in .cmake-args), so that no setting of an earlier call lingers.
$(BUILD)/.cmake-args: FORCE
	@mkdir -p $(BUILD)
	@printf '%s\n' '$(CONFIGURE_ARGS)' | cmp -s - $@ || printf '%s\n' '$(CONFIGURE_ARGS)' > $@

$(BUILD)/CMakeCache.txt: $(BUILD)/.cmake-args
	rm -f $@
	$(CMAKE) -S . -B $(BUILD) $(GEN) $(CONFIGURE_ARGS)

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

# tavorin.exe for 64-bit Windows, statically linked, and the unit tests beside it.
WINDOWS_BUILD := build-windows
windows:
	tools/need g++-mingw-w64-x86-64-posix googletest
	$(MAKE) build BUILD=$(WINDOWS_BUILD) CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release"
	@echo "built $(WINDOWS_BUILD)/app/tavorin.exe"

# The Windows unit tests, and the program's end-to-end tests against tavorin.exe, under Wine.
WINE_ENV := WINEPREFIX=$(abspath $(WINDOWS_BUILD))/wineprefix WINEDEBUG=-all
test-windows: windows build
	tools/need wine wine64
	$(WINE_ENV) tools/wine-prefix
	$(WINE_ENV) timeout 300 wine $(WINDOWS_BUILD)/tests/unit_tests.exe
	cd $(BUILD) && $(WINE_ENV) TAVORIN_WINE_BINARY=$(abspath $(WINDOWS_BUILD))/app/tavorin.exe \
	  ctest --output-on-failure -R '^Program[./]'; status=$$?; $(WINE_ENV) wineserver -k; exit $$status

# Each fuzz target for FUZZ_SECONDS, with AddressSanitizer and UndefinedBehaviorSanitizer.
# New inputs go to build-fuzz/corpus; the seeds in fuzz/corpus stay as they are.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ini number datagram status proxy_header
fuzz:
	tools/need clang libclang-rt-14-dev
	$(MAKE) build BUILD=build-fuzz CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DTAVORIN_FUZZ=ON \
	  -DTAVORIN_TESTS=OFF -DTAVORIN_SANITIZE=address,undefined"
	set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/ build-fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | tail -12; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

# The Debian package, from a release build with a distribution's hardening:
# build-package/tavorin_VERSION_amd64.deb.
PACKAGE_BUILD := build-package
package:
	tools/need dpkg-dev
	$(MAKE) build BUILD=$(PACKAGE_BUILD) CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_INSTALL_PREFIX=/usr -DTAVORIN_HARDEN=ON -DTAVORIN_DEBIAN_DOCS=ON -DTAVORIN_TESTS=OFF"
	cd $(PACKAGE_BUILD) && cpack -G DEB

# The zip for Windows: the static tavorin.exe with its settings example, README and license:
# build-windows/tavorin-VERSION-win64.zip.
package-windows: windows
	cd $(WINDOWS_BUILD) && cpack -G ZIP

# Every relay on the same workloads; prints a table of medians.
bench: build
	bench/run.sh $(BUILD) $(ROUNDS)

# The project's own C++ files, formatted by .clang-format: `make format` rewrites them,
# `make format-check` fails (naming each file) where one is not.
FORMATTED = $(shell git ls-files '*.cpp' '*.h')
format:
	tools/need clang-format
	clang-format -i $(FORMATTED)

format-check:
	tools/need clang-format
	clang-format --dry-run -Werror $(FORMATTED)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows build-package
