# Entry points for a fresh Debian machine. Each target installs what is missing,
# configures, builds and runs.

JOBS ?= $(shell nproc)
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
THREAD_BUILD ?= build-thread
# The tests that run threads against the library: many ports at once, the
# stress run, the fault matrix, the Java bridge.
THREAD_TESTS ?= Concurrency|Stress|reliability_matrix|^java\..*Test$$

.PHONY: all deps build test test-sanitize test-thread demo bench package format clean reliability-doc stress fuzz

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer. The
# Java bridge is left out: a JVM cannot load a sanitized library unaided.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUENVAR_SANITIZE=ON -DQUENVAR_BUILD_JAVA=OFF -DQUENVAR_BUILD_BENCH=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The tests that run threads against the library, under ThreadSanitizer.
test-thread: deps
	cmake -S . -B $(THREAD_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENVAR_SANITIZE_THREAD=ON -DQUENVAR_BUILD_BENCH=OFF -DQUENVAR_BUILD_PYTHON=OFF
	cmake --build $(THREAD_BUILD) -j $(JOBS)
	cd $(THREAD_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/thread-sanitizer.supp" ctest --output-on-failure -j $(JOBS) -R '$(THREAD_TESTS)'

# The USB part runs the command with a virtual USB printer preloaded into it
# (there is no USB host here); it needs a build with tests, where that lives.
USB_DEMO_PRELOAD = $(abspath $(BUILD))/tests/support/libquenvar_preload_printer.so

demo: build
	$(BUILD)/tools/quenvar demo
	@if [ -e $(USB_DEMO_PRELOAD) ]; then for route in usbven usbprn; do \
	  echo; echo "USB ($$route), a virtual printer preloaded into the command:"; \
	  QUENVAR_TEST_PRINTER=$$route:serial=DEMO0001,speed=2000 LD_PRELOAD=$(USB_DEMO_PRELOAD) \
	    $(BUILD)/tools/quenvar status "$$route:;sn:DEMO0001" --timeout 200 && \
	  printf 'QUENVAR CAFE\nEspresso   2.40\n' | QUENVAR_TEST_PRINTER=$$route:serial=DEMO0001,speed=2000 \
	    LD_PRELOAD=$(USB_DEMO_PRELOAD) $(BUILD)/tools/quenvar print "$$route:;sn:DEMO0001" - --timeout 200 || exit 1; \
	done; fi

bench: build
	$(BUILD)/bench/run-bench

# docs/reliability.md again from a run of the fault matrix (the test
# reliability_matrix fails when the document no longer says what a run shows).
reliability-doc: build
	$(BUILD)/tests/reliability/reliability_matrix --write docs/reliability.md >/dev/null

# The stress run at full size: 256 printers per transport (as far as each
# rig allows), 64 threads, 100 checked jobs per printer with random faults.
stress: build
	nice $(BUILD)/tests/reliability/reliability_stress --printers 256 --threads 64 --jobs 100

# Every libFuzzer target for FUZZ_SECONDS (default 60) each, with clang; what
# they find joins their kept corpora in fuzz/corpus (see scripts/run-fuzzers).
fuzz: deps
	scripts/run-fuzzers

# Debian packages of the built tree, into $(BUILD)/packages, checked by lintian.
package: build
	scripts/build-packages $(BUILD) $(BUILD)/packages

# Lays every C and C++ source out as .clang-format says (the tests check it).
format:
	scripts/check-format --fix

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(THREAD_BUILD)
