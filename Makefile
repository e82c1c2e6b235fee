# Entry points; CMake does the building.
JOBS ?= $(shell nproc)

.PHONY: setup demo test check test-asan bench fuzz format tidy install-check clean

setup:
	@bash scripts/setup

build/%/CMakeCache.txt: | setup
	cmake --preset $* >/dev/null

# The main job on embedded defaults: audit the example replica tree.
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
	bash scripts/install-check build/dev

test-asan: setup
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

bench: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target quelmar quelmar-fake-fly bench_tree bench_list
	bash bench/run build/release

# Each fuzz target for FUZZ_SECONDS (all targets, or those named in FUZZ_TARGETS).
fuzz: setup
	bash fuzz/run $(or $(FUZZ_SECONDS),30) $(FUZZ_TARGETS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

tidy: setup
	cmake --preset dev >/dev/null
	git ls-files 'src/*.cpp' 'tools/*.cpp' | xargs clang-tidy -p build/dev --quiet

install-check: setup
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)
	bash scripts/install-check build/dev

clean:
	rm -rf build
