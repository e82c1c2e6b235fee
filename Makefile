# Entry points; CMake does the building.
JOBS ?= $(shell nproc)
# `make install` puts the release build under $(DESTDIR)$(PREFIX).
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: setup demo test check test-asan bench fuzz format tidy install install-check package clean

setup:
	@bash scripts/setup

build/%/CMakeCache.txt: | setup
	cmake --preset $* >/dev/null

# Every job on generated example data and the local fake of the platform.
demo: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target quelmar quelmar-fake-fly
	bash scripts/demo build/release

# All tests: a -Werror build, then the same tests under ASan + UBSan.
test: check test-asan

check: setup
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

test-asan: setup
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

bench: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target quelmar quelmar-fake-fly bench_tree bench_list bench_inventory \
	  bench_count_entries
	  bench_plan_file
	bash bench/run build/release

# Each fuzz target for FUZZ_SECONDS (all targets, or those named in FUZZ_TARGETS).
fuzz: setup
	bash fuzz/run $(or $(FUZZ_SECONDS),30) $(FUZZ_TARGETS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

tidy: setup
	cmake --preset dev >/dev/null
	git ls-files 'src/*.cpp' 'tools/*.cpp' | xargs clang-tidy -p build/dev --quiet

# The programs, man pages, bash completion, libraries, headers, CMake configuration and
# quelmar.pc of the release build.
install: setup
	cmake --preset release -DCMAKE_INSTALL_PREFIX="$(PREFIX)" >/dev/null
	cmake --build --preset release -j $(JOBS) --target installable
	DESTDIR="$(DESTDIR)" cmake --install build/release

# Debian packages of the release build in build/packages, checked by lintian.
package: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target installable
	rm -rf build/packages
	cpack --config build/release/CPackConfig.cmake -B build/packages
	rm -rf build/packages/_CPack_Packages
	lintian --fail-on error,warning build/packages/*.deb

install-check: setup
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)
	bash scripts/install-check build/dev

clean:
	rm -rf build
