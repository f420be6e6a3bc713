# Thin wrapper around CMake so a fresh clone needs only `make run` or `make test`.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test test-asan bench bench-big format clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/hfm

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHFM_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHFM_BENCH=ON -DHFM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench

# One 3 GiB file compressed and restored by methods 1 and 3 (needs about 9 GiB of disk in /tmp).
bench-big:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHFM_BENCH=ON -DHFM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench --big

format:
	clang-format -i include/*.h src/*.cpp src/*.h tests/*.cpp tests/*.h bench/*.cpp

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench
