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

# docs/window.png: the window after start-up on the offscreen platform, with
# the simulator's port in the list, a private home and no web service.
screenshot:
	tools/install-deps.sh core gui
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target quarbsl-screenshot quarbsl-sim
	@set -e; tmp=$$(mktemp -d "$${TMPDIR:-/tmp}/quarbsl-shot.XXXXXX"); \
	build/sim/quarbsl-sim > "$$tmp/sim.out" & sim=$$!; \
	trap 'kill $$sim 2>/dev/null || true; wait $$sim 2>/dev/null || true; rm -rf "$$tmp"' EXIT; \
	i=0; while [ ! -s "$$tmp/sim.out" ] && [ $$i -lt 100 ]; do sleep 0.1; i=$$((i + 1)); done; \
	port=$$(head -n 1 "$$tmp/sim.out"); \
	mkdir -p docs; \
	env QT_QPA_PLATFORM=offscreen HOME="$$tmp" XDG_CONFIG_HOME="$$tmp/config" XDG_DATA_HOME="$$tmp/data" \
	  XDG_RUNTIME_DIR="$$tmp" QUARBSL_EXTRA_PORTS="$$port" QUARBSL_SOFTWARE_HOST=127.0.0.1:9 \
	  build/src/app/window/quarbsl-screenshot docs/window.png; \
	echo "Wrote docs/window.png"

clean:
	rm -rf build build-asan build-fuzz
