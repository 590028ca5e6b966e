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

# Every test: the suite on Linux (virtual bus and umockdev), then the Windows
# builds under Wine.
test: build
	ctest --preset default
	$(MAKE) test-windows

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

asan-test: asan
	ctest --preset asan

clean:
	rm -rf build build-asan build-windows build-windows-sim-tests build-fuzz

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

# --- Fuzzing: libFuzzer harnesses in fuzz/, clang-14 with ASan and UBSan ---
# Each harness runs FUZZ_SECONDS from its seed corpus (fuzz/corpus/NAME);
# what it learns goes to build-fuzz/corpus/NAME, a crashing input to
# build-fuzz/crash-* (replay: build-fuzz/fuzz_NAME FILE).
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES = front_end tqp_frames client_info report dfu
.PHONY: fuzz-build fuzz

fuzz-build:
	@scripts/install-deps.sh build fuzz
	@cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	@for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build-fuzz/corpus/$$h; \
	  echo "fuzz_$$h: $(FUZZ_SECONDS) s"; \
	  rc=0; ( cd build-fuzz && ./fuzz_$$h -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	      -close_fd_mask=3 -print_final_stats=1 corpus/$$h ../fuzz/corpus/$$h > fuzz_$$h.log 2>&1 ) || rc=$$?; \
	  grep -E 'stat::number_of_executed_units|^Done' build-fuzz/fuzz_$$h.log; \
	  if [ $$rc -ne 0 ]; then tail -40 build-fuzz/fuzz_$$h.log; exit $$rc; fi; \
	done
