# Entry points. `make demo` and `make test` are the two set-up commands of the README.
JOBS ?= 2

.PHONY: demo test test-asan fuzz bench screenshot build clean

build:
	tools/install-deps.sh core gui
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	tools/demo.sh build

test:
	tools/install-deps.sh core test
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default

test-asan:
	tools/install-deps.sh core test
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

fuzz:
	tools/install-deps.sh core fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

bench:
	tools/install-deps.sh core bench
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	tools/run-bench.sh build

clean:
	rm -rf build build-asan build-fuzz
