# Wraps the CMake presets. `make demo` and `make test` are the quick start.
JOBS ?= 2

.PHONY: all deps build demo test asan asan-test clean

all: build

deps:
	@scripts/install-deps.sh build linux

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

demo: build
	./build/flash-tool-sim --sim-realtime -n

test: build
	ctest --preset default

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

asan-test: asan
	ctest --preset asan

clean:
	rm -rf build build-asan
