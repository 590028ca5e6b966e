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
	rm -rf build build-asan build-windows build-windows-sim-tests

# --- Windows: cross-built with mingw-w64, tested under Wine -----------------
.PHONY: windows-deps windows windows-sim-tests test-windows

windows-deps:
	@scripts/install-deps.sh build windows

# flash-tool.exe (static) and dist/flash-tool-<version>-win64.zip
windows: windows-deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows -j $(JOBS) --target flash-tool
	@scripts/pack-windows.sh build-windows dist

# The test suite for Windows on the sim backend.
windows-sim-tests: windows-deps
	@cmake --preset windows-sim-tests >/dev/null
	@cmake --build --preset windows-sim-tests -j $(JOBS)

# Both builds, run under Wine: the suite, and flash-tool.exe against its transcripts.
test-windows: windows windows-sim-tests
	@scripts/test-windows.sh build-windows-sim-tests build-windows
