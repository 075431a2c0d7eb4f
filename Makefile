# Entry points: `make test` (install what is missing, build, run every test) and `make demo`.
BUILD      ?= build
PYPY       ?= /usr/bin/pypy3
CPYTHON    ?= /usr/bin/python3
CMAKE_ARGS ?=
PYTEST_ARGS ?= -q

.PHONY: all deps build test test-cpp test-python test-pypy test-cpython test-i386 demo bench fuzz fuzz-replay clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) > $(BUILD).configure.log || { cat $(BUILD).configure.log; exit 1; }
	@cmake --build $(BUILD)

test: build
	@$(MAKE) --no-print-directory test-cpp test-pypy test-cpython

test-cpp:
	ctest --test-dir $(BUILD) --output-on-failure -j2

test-python: test-pypy test-cpython

test-pypy:
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) -m pytest $(PYTEST_ARGS) tests/python

test-cpython:
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) -m pytest $(PYTEST_ARGS) tests/python

# The same C++ tests and the PyPy suite, built and run inside a 32-bit x86 root.
test-i386:
	@bash scripts/install-deps.sh --i386
	bash scripts/i386-root.sh run -- make BUILD=build-i386 PYPY=/usr/bin/pypy3 \
	  CMAKE_ARGS="-DVELTO_PYTHONS=/usr/bin/pypy3" SKIP_DEPS=1 build-only test-cpp test-pypy

# Inside the i386 root the packages come from the root's own set-up, not from install-deps.
build-only:
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) > $(BUILD).configure.log || { cat $(BUILD).configure.log; exit 1; }
	@cmake --build $(BUILD)

demo: build
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) examples/demo.py

clean:
	rm -rf $(BUILD) $(BUILD)-* build-i386 *.configure.log
