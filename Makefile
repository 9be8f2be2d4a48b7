# Top-level entry points. `make demo` builds and runs the main job; `make check`
# installs what is missing, builds and runs every test (plain, sanitized, fuzz).
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja

.PHONY: deps build demo test check asan asan-build tsan fuzz python-test wheel-test example clean

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

demo: build
	./build/orvane demo

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

# Address + undefined-behaviour sanitizers over the whole suite, built with clang
# so that the same tree also holds the libFuzzer targets (one sanitized build of
# the library instead of two). Line tables only (-g1): enough for symbolized
# reports, and much quicker to compile and link than full debug information.
SAN_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DORVANE_BUILD_BENCH=OFF
asan-build: deps
	cmake -S . -B build-asan $(CMAKE_GEN) $(SAN_FLAGS) -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DORVANE_SANITIZE=address,undefined -DORVANE_BUILD_FUZZ=ON
	cmake --build build-asan -j $(JOBS)

asan: asan-build
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer over the concurrency tests (labelled by name: *Stress*). Only
# the test binaries that hold such tests are built (one per tests/ folder).
TSAN_TARGETS = $(shell grep -rlE 'Stress|Concurren' tests --include='*.cc' | xargs -n1 dirname | \
  sort -u | sed -e 's|^tests|test|' -e 's|/|_|g')
tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) $(SAN_FLAGS) -DORVANE_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -R 'Stress|Concurren'

# libFuzzer targets (built in the sanitized tree), each for a bounded time.
FUZZ_SECONDS ?= 25
fuzz: asan-build
	@for f in build-asan/fuzz_*; do \
	  [ -x "$$f" ] || continue; \
	  echo "fuzzing $$f for $(FUZZ_SECONDS)s"; \
	  mkdir -p build-asan/corpus/$$(basename $$f); \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-asan/corpus/$$(basename $$f) || exit 1; \
	done

python-test: build
	@if [ -d python/tests ]; then cd python && ORVANE_LIB_DIR=$(CURDIR)/build /usr/bin/python3 -m pytest -q tests; fi

# Builds the wheel, installs it into a fresh venv and searches from another
# directory without ORVANE_LIB_DIR (see scripts/wheel-test.sh).
wheel-test: build
	./scripts/wheel-test.sh $(CURDIR)/build

# Installs the build into build/install-prefix and builds and runs examples/
# against the installed package, so a missing public header or export fails here.
INSTALL_PREFIX := $(CURDIR)/build/install-prefix
example: build
	rm -rf $(INSTALL_PREFIX) build/example
	cmake --install build --prefix $(INSTALL_PREFIX)
	cmake -S examples -B build/example $(CMAKE_GEN) -DCMAKE_PREFIX_PATH=$(INSTALL_PREFIX)
	cmake --build build/example -j $(JOBS)
	cd build/example && ./build_and_search && ./c_interface
	# A C consumer through pkg-config orvane-c: no C++ flags, so -Werror holds.
	PKG_CONFIG_PATH=$(INSTALL_PREFIX)/lib/pkgconfig cc -Wall -Wextra -Werror examples/c_interface.c \
	  $$(PKG_CONFIG_PATH=$(INSTALL_PREFIX)/lib/pkgconfig pkg-config --cflags --libs orvane-c) \
	  -Wl,-rpath,$(INSTALL_PREFIX)/lib -o build/example/c_interface_pc
	cd build/example && ./c_interface_pc

check: test asan tsan fuzz python-test wheel-test example

clean:
	rm -rf build build-asan build-tsan build-fuzz
