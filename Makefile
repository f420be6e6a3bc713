# Thin wrapper around CMake so a fresh clone needs only `make run` or `make test`. Each
# target first installs what it needs and the machine lacks (tools/install-deps, apt-get).
BUILD ?= build
# The program alone, without the tests or GoogleTest, for `make run`.
RUN_BUILD ?= build-run
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# Each fuzz target and its seed folder under fuzz/seeds/.
FUZZ_TARGETS := tree_decoder:table_and_data table_decoder:table_and_data \
	hash_decoder:table_and_data round_trip:bytes

.PHONY: all build run install test test-asan valgrind mutants fuzz bench bench-big format clean
.PHONY: windows windows-package test-windows test-windows-big

all: build

build:
	@sh tools/install-deps test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run:
	@sh tools/install-deps build
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DHFM_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(RUN_BUILD) -j $(JOBS) --target hfm
	./$(RUN_BUILD)/hfm

# The program alone, as `make run` builds it, into $(DESTDIR)$(PREFIX)/bin.
PREFIX ?= /usr/local
install:
	@sh tools/install-deps build
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DHFM_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(RUN_BUILD) -j $(JOBS) --target hfm
	DESTDIR="$(DESTDIR)" cmake --install $(RUN_BUILD) --prefix "$(PREFIX)"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	@sh tools/install-deps test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHFM_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Every golden case with the program under valgrind: no memory error and no leak of any kind
# (valgrind's report would change the case's standard error, its status the exit status).
valgrind: build
	@sh tools/install-deps valgrind
	HFM_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all" \
		./$(BUILD)/hfm_tests --gtest_filter='Golden/*' --gtest_brief=1

# Plants each fault listed in tools/mutants and runs the suite on it (slow; not part of CI).
mutants:
	@sh tools/install-deps python3
	python3 tools/mutants

# Builds the fuzz targets with clang and runs each for FUZZ_SECONDS. New inputs collect in
# $(FUZZ_BUILD)/corpus/<target>, crashes in $(FUZZ_BUILD)/crashes/<target>; every target runs
# even after one fails, and the run fails if any did. A crash input kept under
# tests/fuzz_regressions/<target>/ is replayed by `make test`.
fuzz:
	@sh tools/install-deps build clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHFM_FUZZ=ON -DHFM_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@failed=""; for pair in $(FUZZ_TARGETS); do \
		t=$${pair%%:*}; seeds=fuzz/seeds/$${pair#*:}; \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/crashes/$$t; \
		echo "== fuzz_$$t for $(FUZZ_SECONDS) s (log: $(FUZZ_BUILD)/fuzz_$$t.log)"; \
		if ./$(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
			-print_final_stats=1 -dict=fuzz/code_table.dict \
			-artifact_prefix=$(FUZZ_BUILD)/crashes/$$t/ \
			$(FUZZ_BUILD)/corpus/$$t $$seeds > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1; then \
			grep -E '^#[0-9]+.*(DONE|pulse)|^Done|number_of_executed_units' \
				$(FUZZ_BUILD)/fuzz_$$t.log | tail -n 3; \
		else \
			tail -n 40 $(FUZZ_BUILD)/fuzz_$$t.log; failed="$$failed $$t"; \
		fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz targets failed:$$failed"; exit 1; fi

bench:
	@sh tools/install-deps build
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHFM_BENCH=ON -DHFM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench

# One 3 GiB file compressed and restored by methods 1 and 3 (needs about 9 GiB of disk in /tmp).
bench-big:
	@sh tools/install-deps build
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHFM_BENCH=ON -DHFM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench --big

# hfm.exe for 64-bit Windows, cross-compiled with MinGW-w64 and linked statically.
WIN_BUILD ?= build-windows
WIN_CMAKE = cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	-DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

windows:
	@sh tools/install-deps build g++-mingw-w64-x86-64
	$(WIN_CMAKE)
	cmake --build $(WIN_BUILD) -j $(JOBS) --target hfm

# The one version number, from CMakeLists.txt.
VERSION := $(shell sed -n 's/^project.hfm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
WIN_PACKAGE = $(WIN_BUILD)/hfm-$(VERSION)-windows-x64.zip

# What a Windows user who does not build gets: hfm.exe and the two guides in one zip.
windows-package: windows
	rm -rf $(WIN_BUILD)/package $(WIN_PACKAGE)
	mkdir -p $(WIN_BUILD)/package
	cp $(WIN_BUILD)/hfm.exe README.md README.zh-CN.md $(WIN_BUILD)/package/
	cd $(WIN_BUILD)/package && cmake -E tar cf ../$(notdir $(WIN_PACKAGE)) --format=zip \
		hfm.exe README.md README.zh-CN.md
	@echo "$(WIN_PACKAGE)"

# The tests built for Windows (GoogleTest from the sources of Debian's package googletest) and
# run by ctest under Wine, one Wine server serving the whole run, then a session typed into
# hfm.exe in a Wine console inside tmux, then the package unpacked and used in a long path.
# Once in a long while Wine fails to start a test program at all (no line of its output
# appears); such a test runs a second time, and one that fails twice fails the run.
test-windows: windows-package
	$(WIN_CMAKE) -DHFM_TESTS=ON
	tools/wine-run --start
	cmake --build $(WIN_BUILD) -j $(JOBS) \
		&& (cd $(WIN_BUILD) && ctest --output-on-failure --repeat until-pass:2 -j $(JOBS)) \
		&& python3 tests/wine_test.py $(WIN_BUILD) $(VERSION); \
		status=$$?; tools/wine-run --stop; exit $$status

# A file of 2.5 GiB (sparse, every byte 0) compressed and restored by hfm.exe under Wine: one
# read or write of 2 GiB or more fails in the Windows C runtime. Needs about 3 GiB of disk in the
# build folder and 6 GiB of memory; not part of CI.
BIG_KEYS = c\nbig.bin\nS\nR\n1\n\nd\nbig.bin.hfm\nS\nR\n3\n\nq\n
test-windows-big: windows
	@sh tools/install-deps wine64
	rm -rf $(WIN_BUILD)/big && mkdir -p $(WIN_BUILD)/big
	truncate -s 2560M $(WIN_BUILD)/big/big.bin
	tools/wine-run --start
	cd $(WIN_BUILD)/big && printf '$(BIG_KEYS)' | $(CURDIR)/tools/wine-run ../hfm.exe >screen.txt; \
		status=$$?; $(CURDIR)/tools/wine-run --stop; [ $$status -eq 0 ] \
		&& grep -q 文件压缩成功 screen.txt && grep -q 文件解压成功 screen.txt \
		&& cmp big.bin big.bin_recovered.txt && echo "test-windows-big: 2.5 GiB restored whole"

format:
	clang-format -i include/*.h src/*.cpp src/*.h tests/*.cpp tests/*.h bench/*.cpp fuzz/*.cpp fuzz/*.h

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(ASAN_BUILD) build-bench build-mutants $(FUZZ_BUILD) $(WIN_BUILD)
