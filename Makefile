# A thin layer over CMake: the two commands a new user needs.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all demo test test-asan win32 test-win32 clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Builds Tarnwell, makes a recorder disk image from the bundled sample
# recording, lists it and rips one recording into demo/.
demo: all
	bash tools/demo.sh $(BUILD)

# Builds everything and runs every test.
test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARNWELL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Cross-compiles the Windows program with mingw-w64.
win32:
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=OFF
	cmake --build build-win32 -j $(JOBS)

# The Windows program and its tests, run under wine: needs wine, wine64 and
# googletest besides mingw-w64.
test-win32: all
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DTARNWELL_TESTS=ON
	cmake --build build-win32 -j $(JOBS)
	bash tools/test-win32.sh $(BUILD) build-win32

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-win32 demo
