# Wraps CMake. `make test` and `make demo` work on a fresh machine: both install the
# Debian packages they need first.
JOBS ?= 2
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?=
CTEST = ctest --output-on-failure -j$(JOBS) --timeout 300

.PHONY: all deps build test test-sanitize test-asan test-tsan demo bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build/build.ninja: | deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j$(JOBS)

test: build
	cd build && $(CTEST)

build-asan/build.ninja: | deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOVR_SANITIZE=address $(CMAKE_FLAGS)

build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVR_SANITIZE=thread $(CMAKE_FLAGS)

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST)

test-sanitize: test-asan test-tsan

demo: build
	@scripts/demo.sh build

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bin/bench_*; do [ -x "$$b" ] && "$$b"; done

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOVR_FUZZ=ON -DOVR_BENCH=OFF -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)
	@for f in build-fuzz/bin/fuzz_*; do \
	  corpus=$$(mktemp -d); echo "== $$f ($(FUZZ_SECONDS) s from an empty corpus)"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 "$$corpus" 2>&1 | tail -4 \
	    || { rm -rf "$$corpus"; exit 1; }; \
	  rm -rf "$$corpus"; done

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
