# A thin layer over CMake: the two commands a new user needs, and install.
# Each target first checks for the Debian packages it needs (see
# tools/setup/deps.sh): run as root it installs what is missing, otherwise it
# prints the apt-get command that would and stops.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local
DEPS = bash tools/setup/deps.sh

.PHONY: all demo test test-asan mutants fuzz install bench win32 test-win32 clean

# Builds Tarnwell and mkimage, without the tests (no GoogleTest needed).
all:
	@$(DEPS) demo
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

# Builds Tarnwell, makes a recorder disk image from the bundled sample
# recording, lists it, rips one recording into demo/rip and rescues both
# into demo/rescue.
demo: all
	bash tools/demo.sh $(BUILD)

# Builds everything and runs every test.
test:
	@$(DEPS) test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@$(DEPS) test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The mutation check: puts each fault of tests/mutants/mutants.txt into a copy
# of the tree in build-mutants, rebuilds and runs the tests it names, and fails
# when every test survives one.
mutants:
	@$(DEPS) test
	bash tests/mutants/run.sh build-mutants

# Builds the fuzz targets with clang (fuzz/) and runs each for FUZZ_SECONDS
# seconds, one after the other, after replaying the seeds and the kept
# findings. New inputs go to FUZZ_BUILD/corpus/NAME, a crash, hang or
# sanitizer report to FUZZ_BUILD/findings/ and fails the run.
fuzz:
	@$(DEPS) fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTARNWELL_FUZZ=ON -DTARNWELL_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	cd $(FUZZ_BUILD) && ctest --output-on-failure
	@for target in stream dir rip survey text; do \
		mkdir -p $(CURDIR)/$(FUZZ_BUILD)/corpus/$$target $(CURDIR)/$(FUZZ_BUILD)/findings && \
		echo "fuzzing $$target for $(FUZZ_SECONDS) s" && \
		$(FUZZ_BUILD)/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -timeout=30 \
			-print_final_stats=1 -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/findings/$$target- \
			$(CURDIR)/$(FUZZ_BUILD)/corpus/$$target $(CURDIR)/fuzz/corpus/$$target \
			2>$(CURDIR)/$(FUZZ_BUILD)/fuzz-$$target.log || \
			{ tail -n 60 $(CURDIR)/$(FUZZ_BUILD)/fuzz-$$target.log; exit 1; }; \
		grep -E '(DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' \
			$(CURDIR)/$(FUZZ_BUILD)/fuzz-$$target.log; \
	done

# Installs tarnwell into PREFIX/bin, its manual page into
# PREFIX/share/man/man1 and the README into PREFIX/share/doc/tarnwell.
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# Measures a rip of a recording of more than 1 GB against two plain copies of
# its bytes (from the image and from one plain file) and against ffmpeg's
# stream copy, with the user CPU per GB (not part of make test: it takes a few
# minutes the first time, and the recording is kept in $(BUILD)/bench).
bench: all
	bash bench/bench.sh $(BUILD)

# Cross-compiles the Windows program with mingw-w64.
win32:
	@$(DEPS) win32
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=OFF
	cmake --build build-win32 -j $(JOBS)

# The Windows program and its tests, run under wine: needs wine, wine64 and
# googletest besides mingw-w64.
test-win32:
	@$(DEPS) test win32
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=ON
	cmake --build build-win32 -j $(JOBS)
	bash tools/test-win32.sh $(BUILD) build-win32

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-win32 demo
