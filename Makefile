# Entry points for a fresh Debian machine. Each target installs what is missing,
# configures, builds and runs.

JOBS ?= $(shell nproc)
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize

.PHONY: all deps build test test-sanitize demo bench package format clean

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

# Debian packages of the built tree, into $(BUILD)/packages, checked by lintian.
package: build
	scripts/build-packages $(BUILD) $(BUILD)/packages

# Lays every C and C++ source out as .clang-format says (the tests check it).
format:
	scripts/check-format --fix

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
