# Wraps CMake. `make test` and `make demo` work on a fresh machine: both install the
# Debian packages they need first.
JOBS ?= 2
# The builds' engines never start a trace viewer (ovdiag) that would outlive the run.
export OVDIAG_NOSTART = 1
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?=
# The project's own builds treat warnings as errors; a plain `cmake` configure does not.
CONFIGURE = cmake -S . -G Ninja -DOVR_WERROR=ON
CTEST = ctest --output-on-failure -j$(JOBS) --timeout 300 -LE soak
# The soak runs (label `soak`): long runs of faults and bad input, outside the default runs.
SOAK_CTEST = OVR_SOAK=1 ctest --output-on-failure -j$(JOBS) -L soak
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all deps build test test-sanitize test-asan test-tsan test-release \
	test-soak test-soak-asan test-soak-tsan check-thread-safety coverage demo bench fuzz package \
	clean

all: build

deps:
	@scripts/install-deps.sh

# A build folder is configured again when this file changes, so that it gets new flags.
build/build.ninja: Makefile | deps
	$(CONFIGURE) -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j$(JOBS)

test: build
	cd build && $(CTEST)

build-asan/build.ninja: Makefile | deps
	$(CONFIGURE) -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOVR_SANITIZE=address $(CMAKE_FLAGS)

build-tsan/build.ninja: Makefile | deps
	$(CONFIGURE) -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVR_SANITIZE=thread $(CMAKE_FLAGS)

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j$(JOBS)
	cd build-asan && $(ASAN_ENV) $(CTEST)

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && $(TSAN_ENV) $(CTEST)

test-sanitize: test-asan test-tsan

# The soak runs build only their own program. OVR_SOAK_COUNT=n lowers the counts,
# OVR_SOAK_SEED=n replays a run (each run prints its seed).
test-soak: deps build/build.ninja
	cmake --build build -j$(JOBS) --target soak_tests
	cd build && $(SOAK_CTEST)

test-soak-asan: deps build-asan/build.ninja
	cmake --build build-asan -j$(JOBS) --target soak_tests
	cd build-asan && $(ASAN_ENV) $(SOAK_CTEST)

test-soak-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j$(JOBS) --target soak_tests
	cd build-tsan && $(TSAN_ENV) $(SOAK_CTEST)

# The configuration a user builds with a plain `cmake -DCMAKE_BUILD_TYPE=Release` (-O3),
# installed as the Debian package installs it (`make package`): under /usr, the GStreamer
# plugin in GStreamer's own plugin folder. Neither changes what is compiled.
build-release/build.ninja: Makefile | deps
	$(CONFIGURE) -B build-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DOVR_GST_SYSTEM_PLUGIN_DIR=ON $(CMAKE_FLAGS)

test-release: deps build-release/build.ninja
	cmake --build build-release -j$(JOBS)
	cd build-release && $(CTEST)

# Line and branch coverage of src/, hostlibs/ and tools/ from the default test run: a table
# per folder on the terminal, the HTML report in build-coverage/coverage/index.html.
build-coverage/build.ninja: Makefile | deps
	$(CONFIGURE) -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DOVR_COVERAGE=ON \
	  -DOVR_BENCH=OFF $(CMAKE_FLAGS)

coverage: deps build-coverage/build.ninja
	cmake --build build-coverage -j$(JOBS)
	find build-coverage -name '*.gcda' -delete
	@# The report is written also when a test fails; the target fails after it.
	cd build-coverage && $(CTEST); rc=$$?; cd .. && scripts/coverage.sh build-coverage \
	  && exit $$rc

# clang with -Wthread-safety (see CMakeLists.txt): the build fails where a guarded field
# is used without its lock, a required lock is not held or locks are taken out of order.
build-clang/build.ninja: Makefile | deps
	CC=clang CXX=clang++ $(CONFIGURE) -B build-clang -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)

check-thread-safety: deps build-clang/build.ninja
	cmake --build build-clang -j$(JOBS)

# Builds only what the player needs, then plays three tracks of the embedded station.
demo: deps build/build.ninja
	cmake --build build -j$(JOBS) --target ovradio-play
	@scripts/demo.sh build

# The Debian package of the Release build: packed by cpack into
# build-release/ovradio_<version>_<arch>.deb, then unpacked into a scratch root and checked
# (scripts/check-package.sh).
package: deps build-release/build.ninja
	cmake --build build-release -j$(JOBS)
	cd build-release && cpack -G DEB
	@scripts/check-package.sh $$(ls -t build-release/ovradio_*.deb | head -1)

bench: deps
	$(CONFIGURE) -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j$(JOBS)
	@mkdir -p build-bench/results
	@for b in build-bench/bin/bench_*; do [ -x "$$b" ] || continue; \
	  "$$b" --benchmark_out=build-bench/results/$$(basename $$b).json \
	    --benchmark_out_format=json || exit 1; done
	@build-bench/bin/bench-table build-bench/bin build-bench/results

fuzz: deps
	CC=clang CXX=clang++ $(CONFIGURE) -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOVR_FUZZ=ON -DOVR_BENCH=OFF -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)
	@for f in build-fuzz/bin/fuzz_*; do \
	  corpus=$$(mktemp -d); echo "== $$f ($(FUZZ_SECONDS) s from an empty corpus)"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 "$$corpus" 2>&1 | tail -4 \
	    || { rm -rf "$$corpus"; exit 1; }; \
	  rm -rf "$$corpus"; done

clean:
	rm -rf build build-asan build-tsan build-release build-clang build-bench build-fuzz \
	  build-coverage
