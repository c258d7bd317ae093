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

demo: build
	$(BUILD)/tools/quenvar demo

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
