# Entry points: `make test` (install what is missing, build, run every test) and `make demo`
# (`make demo-web`: the same robot driven from a browser).
BUILD      ?= build
PYPY       ?= /usr/bin/pypy3
CPYTHON    ?= /usr/bin/python3
CMAKE_ARGS ?=
PYTEST_ARGS ?= -q
# What pytest runs; one file: `make test-asan PYTEST_PATHS=tests/python/test_replies.py`.
PYTEST_PATHS ?= tests/python

.PHONY: all deps build test check-textrel format format-check test-cpp test-python test-pypy test-cpython refleak test-asan soak coverage test-i386 demo demo-web bench bench-i386 fuzz \
        fuzz-replay clean wheel wheel-only wheel-i386 test-install test-browser controller-png bench-browser

all: build

# $(call configure,DIR,ARGS): configure DIR quietly; print the log if that fails.
configure = mkdir -p $(1) && cmake -S . -B $(1) -G Ninja $(2) > $(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }

deps:
	@bash scripts/install-deps.sh

build: deps build-only

test: build
	@$(MAKE) --no-print-directory format-check test-cpp fuzz-replay test-pypy test-cpython refleak

# Every C++ file as .clang-format lays it out; `make format` rewrites them so.
CLANG_FORMAT ?= clang-format-14
FORMAT_FILES  = $(shell find src tests tools bench fuzz -name '*.cpp' -o -name '*.h' | sort)
format-check:
	@$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

format:
	@$(CLANG_FORMAT) -i $(FORMAT_FILES)

test-cpp:
	ctest --test-dir $(BUILD) --output-on-failure -j2

test-python: test-pypy test-cpython

test-pypy:
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) -m pytest $(PYTEST_ARGS) $(PYTEST_PATHS)

test-cpython:
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) -m pytest $(PYTEST_ARGS) $(PYTEST_PATHS)

# A short round of bench/refleak_values.py under each interpreter: it ends with an error when
# the script no longer runs, or when under CPython a reference or object is lost per round
# (the figures go to /dev/null, what grew to standard error).
REFLEAK_ROUNDS ?= 20000
refleak:
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) bench/refleak_values.py $(REFLEAK_ROUNDS) > /dev/null
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) bench/refleak_values.py $(REFLEAK_ROUNDS) > /dev/null

# The C++ tests and the extension under AddressSanitizer and UndefinedBehaviorSanitizer, in a
# build folder of their own; then the whole pytest suite under CPython (PyPy's collector and
# JIT do not belong under ASan) with the sanitizer runtime preloaded and the interpreter's
# allocations going through malloc, the leak check on for the test process. The suite's CPython
# children get the runtime too, without the leak check (tests/python/support.py); nothing else
# gets it. Reports of the suite's processes go to $(ASAN_BUILD)/reports/: any file there fails
# the target.
ASAN_BUILD   ?= build-asan
ASAN_REPORTS  = $(abspath $(ASAN_BUILD))/reports
SAN_RUNTIME   = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
ASAN_OPTIONS_ = detect_leaks=1:strict_string_checks=1:check_initialization_order=1
UBSAN_OPTIONS_ = print_stacktrace=1:halt_on_error=1
test-asan: deps
	@$(call configure,$(ASAN_BUILD),-DVELTO_ASAN=ON -DVELTO_PYTHONS=$(CPYTHON))
	@cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=$(ASAN_OPTIONS_) UBSAN_OPTIONS=$(UBSAN_OPTIONS_) \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2
	@rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	@status=0; \
	ASAN_OPTIONS=$(ASAN_OPTIONS_):log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=$(UBSAN_OPTIONS_):log_path=$(ASAN_REPORTS)/ubsan \
	LD_PRELOAD="$(SAN_RUNTIME)" VELTO_SANITIZER_RUNTIME="$(SAN_RUNTIME)" PYTHONMALLOC=malloc \
	VELTO_BUILD=$(abspath $(ASAN_BUILD)) $(CPYTHON) -m pytest $(PYTEST_ARGS) $(PYTEST_PATHS) || status=$$?; \
	for f in $(ASAN_REPORTS)/*; do [ -e "$$f" ] || continue; echo "== $$f"; cat "$$f"; status=1; done; \
	exit $$status

# Line coverage, printed per file: gcov over src/ for the C++ tests and the CPython suite, run
# against a build of their own instrumented for it; coverage.py over velto_tools for the same
# suite, the programs the tests start included (a virtual environment whose .pth file starts
# coverage.py in every interpreter it runs, wherever COVERAGE_PROCESS_START names the
# settings). Counts start from zero on every run. A failing test still gets its report, and
# then fails the target. A tool to look with, not a gate: `make test` does not run it.
COVERAGE_BUILD ?= build-coverage
COVERAGE_VENV   = $(abspath $(COVERAGE_BUILD))/venv
COVERAGE_DATA   = $(abspath $(COVERAGE_BUILD))/python-coverage
coverage: deps
	@$(call configure,$(COVERAGE_BUILD),-DVELTO_COVERAGE=ON -DVELTO_PYTHONS=$(CPYTHON))
	@cmake --build $(COVERAGE_BUILD)
	@[ -x $(COVERAGE_VENV)/bin/python ] || $(CPYTHON) -m venv --system-site-packages --without-pip $(COVERAGE_VENV)
	@# The environment's own packages come first on sys.path, Debian's only after its .pth
	@# files ran: the line finds coverage.py where it is installed, then leaves sys.path as it was.
	@echo "import sys; p = sys.path[:]; sys.path.append('$$($(CPYTHON) -c 'import coverage, os; print(os.path.dirname(os.path.dirname(coverage.__file__)))')'); import coverage; sys.path[:] = p; coverage.process_startup()" > \
	  "$$($(COVERAGE_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/velto-coverage.pth"
	@find $(COVERAGE_BUILD) -name '*.gcda' -delete
	@rm -rf $(COVERAGE_DATA) && mkdir -p $(COVERAGE_DATA)
	@status=0; \
	ctest --test-dir $(COVERAGE_BUILD) --output-on-failure -j2 || status=$$?; \
	COVERAGE_PROCESS_START=$(abspath pyproject.toml) COVERAGE_FILE=$(COVERAGE_DATA)/data \
	VELTO_BUILD=$(abspath $(COVERAGE_BUILD)) $(COVERAGE_VENV)/bin/python -m pytest $(PYTEST_ARGS) $(PYTEST_PATHS) || status=$$?; \
	gcovr --root . --filter src/ --sort-percentage $(COVERAGE_BUILD) || status=$$?; \
	export COVERAGE_FILE=$(COVERAGE_DATA)/data COVERAGE_RCFILE=$(abspath pyproject.toml); \
	$(CPYTHON) -m coverage combine -q && $(CPYTHON) -m coverage report || status=$$?; \
	exit $$status

# A long session under each interpreter: frames and replies all arrive, descriptors, threads
# and memory come back (tests/soak.py says what it checks). A few minutes.
SOAK_ARGS ?=
SOAK_EXIT_RUNS ?= 40
soak: build
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) tests/soak.py $(SOAK_ARGS)
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) tests/soak.py --websocket $(SOAK_ARGS)
	@# The program ends while a handler runs, many more times than in `make test`.
	VELTO_EXIT_RUNS=$(SOAK_EXIT_RUNS) VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) -m pytest -q tests/python/test_exit.py -k handler_runs
	VELTO_EXIT_RUNS=$(SOAK_EXIT_RUNS) VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) -m pytest -q tests/python/test_exit.py -k handler_runs
	@# PyPy's collector lets its heap grow well past the live data before a major collection,
	@# and the resident size keeps the highest point reached: with a major collection after
	@# every 1 MB of growth it follows the live data (growth after the warm-up 0-0.8 MB, where
	@# it reached 2 MB without). One more run is still allowed there: a real leak fails both.
	PYPY_GC_MAX_DELTA=1MB VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) tests/soak.py $(SOAK_ARGS) || \
	  PYPY_GC_MAX_DELTA=1MB VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) tests/soak.py $(SOAK_ARGS)
	PYPY_GC_MAX_DELTA=1MB VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) tests/soak.py --websocket $(SOAK_ARGS) || \
	  PYPY_GC_MAX_DELTA=1MB VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) tests/soak.py --websocket $(SOAK_ARGS)

# The controller page in headless Chromium, driving the module under each interpreter
# (tests/browser: Node's test runner, puppeteer-core pinned by tests/browser/package-lock.json
# and installed by `npm ci`). Chromium and Node come from install-deps.sh --browser; only where
# they cannot be installed does the target skip, and it says so. One file:
# `make test-browser BROWSER_TESTS=tests/browser/widgets.test.mjs`.
BROWSER_DIR     = tests/browser
BROWSER_TESTS  ?= $(BROWSER_DIR)/*.test.mjs
BROWSER_PYTHONS ?= $(PYPY) $(CPYTHON)
# npm ci runs again only when the lock file changed: the stamp is a copy of it.
BROWSER_MODULES = $(BROWSER_DIR)/node_modules/.velto-lock.json
$(BROWSER_MODULES): $(BROWSER_DIR)/package.json $(BROWSER_DIR)/package-lock.json
	cd $(BROWSER_DIR) && npm ci --no-audit --no-fund --loglevel=error
	cp $(BROWSER_DIR)/package-lock.json $@

BROWSER_OK = bash scripts/install-deps.sh --browser && [ -x /usr/bin/chromium ]

test-browser: build
	@if ! ( $(BROWSER_OK) ); then \
	  echo "test-browser: skipped: chromium could not be installed on this machine (the reason is above)" >&2; exit 0; \
	fi; \
	$(MAKE) --no-print-directory $(BROWSER_MODULES) || exit 1; \
	for py in $(BROWSER_PYTHONS); do \
	  echo "test-browser: the robot under $$py" >&2; \
	  VELTO_PYTHON=$$py VELTO_BUILD=$(abspath $(BUILD)) node --test --test-concurrency=1 $(BROWSER_TESTS) || exit 1; \
	done

# docs/controller.png: the browser test's portrait screenshot (400x700, mobile), made again.
controller-png: build
	@$(BROWSER_OK)
	@$(MAKE) --no-print-directory $(BROWSER_MODULES)
	VELTO_PYTHON=$(CPYTHON) VELTO_BUILD=$(abspath $(BUILD)) node --test --test-name-pattern=screenshots $(BROWSER_DIR)/widgets.test.mjs
	cp $(BUILD)/browser/controller.png docs/controller.png

# Page -> handler -> callback() -> page round trips in headless Chromium, under each interpreter.
BENCH_PRESSES ?= 200
bench-browser: build
	@$(BROWSER_OK)
	@$(MAKE) --no-print-directory $(BROWSER_MODULES)
	@for py in $(BROWSER_PYTHONS); do \
	  VELTO_PYTHON=$$py VELTO_BUILD=$(abspath $(BUILD)) node $(BROWSER_DIR)/roundtrip_bench.mjs $(BENCH_PRESSES) || exit 1; \
	done

# The same C++ tests and the PyPy suite, built and run inside a 32-bit x86 root: natively, or
# under user-mode emulation where the kernel runs no 32-bit x86 program (scripts/i386-root.sh).
test-i386:
	@bash scripts/install-deps.sh --i386
	bash scripts/i386-root.sh run -- make BUILD=build-i386 PYPY=/usr/bin/pypy3 \
	  CMAKE_ARGS="-DVELTO_PYTHONS=/usr/bin/pypy3" SKIP_DEPS=1 build-only check-textrel test-cpp test-pypy

# The extension modules carry no text relocations: every object linked into them (nettle's
# static archive too, with VELTO_NETTLE_STATIC=ON) is position-independent (a module with
# them would not load where the system forbids writable code, and shares no pages).
check-textrel:
	@for so in $(BUILD)/py/*/*.so; do \
	  if readelf -d "$$so" | grep -q TEXTREL; then echo "check-textrel: $$so has text relocations" >&2; exit 1; fi; \
	done

# Inside the i386 root the packages come from the root's own set-up, not from install-deps.
build-only:
	@$(call configure,$(BUILD),$(CMAKE_ARGS))
	@cmake --build $(BUILD)

# Wheels for this machine: one per interpreter in WHEEL_PYTHONS, built by setup.py through
# CMake in build-setuptools/ (never in $(BUILD)), written to dist/.
WHEEL_PYTHONS ?= $(PYPY) $(CPYTHON)
wheel: deps wheel-only

# setuptools keeps what it once copied into build-setuptools/lib.*: start those afresh so
# that a wheel holds only today's files (the CMake trees in temp.* stay, for ninja).
wheel-only:
	@mkdir -p dist
	@rm -rf build-setuptools/lib.* build-setuptools/bdist.*
	@for py in $(WHEEL_PYTHONS); do \
	  echo "wheel: $$py"; \
	  $$py -m pip wheel -q --no-index --no-build-isolation --no-deps -w dist . || exit 1; \
	done
	@ls dist

# Each wheel into a fresh virtual environment, and the source tree through pip, each checked
# by a program run outside the source tree.
test-install: wheel
	bash scripts/test-install.sh --source $(WHEEL_PYTHONS)

# The PyPy wheel for 32-bit x86, built and install-tested inside the i386 root.
wheel-i386:
	@bash scripts/install-deps.sh --i386
	bash scripts/i386-root.sh run -- make WHEEL_PYTHONS=/usr/bin/pypy3 wheel-only
	bash scripts/i386-root.sh run -- bash scripts/test-install.sh /usr/bin/pypy3

demo: build
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) examples/demo.py

# The robot example over WebSocket: it prints the address of the controller page to open in a
# browser; Ctrl-C ends it. WEB_ADDRESS=0.0.0.0:8080 lets a phone on a network you trust in.
WEB_ADDRESS ?= 127.0.0.1:8080
demo-web: build
	PYTHONPATH=$(abspath $(BUILD))/py/pypy:$(abspath python) PYTHONUNBUFFERED=1 \
	  $(PYPY) examples/robot.py --web $(WEB_ADDRESS)

# Benchmarks of the frame decoder and the reply encoder, against bare msgpuck and msgpack-c;
# the WebSocket frame reader's throughput.
BENCH_ARGS ?=
bench: build
	@$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release -DVELTO_BENCH=ON -DVELTO_PYTHON=OFF -DVELTO_TESTS=OFF)
	@cmake --build build-bench --target frame_bench io_bench ws_bench
	build-bench/bench/frame_bench $(BENCH_ARGS)
	build-bench/bench/io_bench $(BENCH_ARGS)
	build-bench/bench/ws_bench $(BENCH_ARGS)
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) bench/server_bench.py
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) bench/server_bench.py
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) bench/lag_bench.py
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) bench/lag_bench.py
	VELTO_BUILD=$(abspath $(BUILD)) $(CPYTHON) bench/ws_lag_bench.py
	VELTO_BUILD=$(abspath $(BUILD)) $(PYPY) bench/ws_lag_bench.py

# The server benchmark on the platform the module ships for: built and run inside the i386
# root under its PyPy (callback, the pure-Python peer and the sendall floor side by side).
# Under emulation it says so first: its figures are then indicative only.
bench-i386:
	@bash scripts/install-deps.sh --i386
	bash scripts/i386-root.sh run -- make BUILD=build-i386 PYPY=/usr/bin/pypy3 \
	  CMAKE_ARGS="-DVELTO_PYTHONS=/usr/bin/pypy3" SKIP_DEPS=1 build-only
	bash scripts/i386-root.sh run -- env VELTO_BUILD=/src/build-i386 /usr/bin/pypy3 bench/server_bench.py

# Fuzzes each target of FUZZ_TARGETS (the frame decoder, the WebSocket frame reader, the HTTP
# request head and door) for FUZZ_SECONDS under libFuzzer with ASan and UBSan; any crash,
# sanitizer report, leak or failed check ends the run with an error and a file in fuzz/artifacts/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= frame ws_reader http_head
FUZZ_MAX_LEN_frame = 1024
FUZZ_MAX_LEN_ws_reader = 4096
FUZZ_MAX_LEN_http_head = 9000
fuzz: deps
	@$(call configure,build-fuzz,-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DVELTO_FUZZ=ON -DVELTO_PYTHON=OFF -DVELTO_TESTS=OFF)
	@cmake --build build-fuzz --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@mkdir -p $(addprefix build-fuzz/corpus/,$(FUZZ_TARGETS)) fuzz/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  case $$t in frame) len=$(FUZZ_MAX_LEN_frame);; ws_reader) len=$(FUZZ_MAX_LEN_ws_reader);; *) len=$(FUZZ_MAX_LEN_http_head);; esac; \
	  echo "fuzz: $$t"; \
	  build-fuzz/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=$$len -print_final_stats=1 \
	    -artifact_prefix=fuzz/artifacts/ build-fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# Replays the seed corpus through the fuzz target's checks, built with the default compiler
# under ASan and UBSan (no libFuzzer needed).
fuzz-replay:
	@$(call configure,build-fuzz-replay,-DVELTO_FUZZ=ON -DVELTO_PYTHON=OFF -DVELTO_TESTS=OFF)
	@cmake --build build-fuzz-replay --target frame_replay ws_reader_replay http_head_replay
	build-fuzz-replay/fuzz/frame_replay fuzz/corpus/frame
	build-fuzz-replay/fuzz/ws_reader_replay fuzz/corpus/ws_reader
	build-fuzz-replay/fuzz/http_head_replay fuzz/corpus/http_head

clean:
	rm -rf $(BUILD) build-asan build-coverage build-i386 build-bench build-fuzz build-fuzz-replay build-setuptools dist
