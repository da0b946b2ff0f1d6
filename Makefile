# The two commands a newcomer needs: `make demo` and `make test`.
# Both create .venv with CPython 3.8 (taken from pyenv) when it is missing and
# (re)install the package with its test extras before running.

PYTHON_VERSION ?= 3.8
PYTHON ?= $(shell p=$$(pyenv prefix $(PYTHON_VERSION) 2>/dev/null) && echo $$p/bin/python$(PYTHON_VERSION) || command -v python$(PYTHON_VERSION))
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?= -q

.PHONY: demo test test-asan install tools clean

demo: install
	$(VENV)/bin/python demo/demo.py

test: install tools
	$(VENV)/bin/pytest $(PYTEST_ARGS)

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer,
# run under the stock interpreter with the sanitizer runtime preloaded.
test-asan: tools
	$(MAKE) VENV=$(ASAN_VENV) SANITIZE=1 install
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 LUMIVEX_SANITIZED=1 \
	$(ASAN_VENV)/bin/pytest $(PYTEST_ARGS)

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip setuptools wheel

install: $(VENV)/bin/python
	LUMIVEX_SANITIZE=$(SANITIZE) $(VENV)/bin/python -m pip install -q --no-build-isolation '.[test]'

# pngcheck is an independent PNG checker used by the tests; without it only
# those checks are skipped.
tools:
	@command -v pngcheck >/dev/null 2>&1 || { \
	  (apt-get install -y -q pngcheck || (apt-get update -q && apt-get install -y -q pngcheck)) >/dev/null 2>&1 \
	  || echo "pngcheck could not be installed; the tests that use it will be skipped"; }

clean:
	rm -rf build *.egg-info $(VENV) $(ASAN_VENV)

# Coverage-guided fuzzing: `make fuzz SECONDS=60` runs every target in fuzz/
# for SECONDS each against a clang build instrumented with ASan, UBSan and
# libFuzzer's coverage (its own tree, build/fuzz, and its own venv), and prints
# what each found. Inputs that crash, hang or leak are kept in fuzz/findings/.
FUZZ_VENV ?= .venv-fuzz
SECONDS ?= 60
ATHERIS_VERSION ?= 2.3.0

.PHONY: fuzz fuzz-install fuzz-tools fuzz-clean

FUZZ_NATIVE = build/fuzz-native/fuzz_filter

fuzz: fuzz-install $(FUZZ_NATIVE)
	$(FUZZ_VENV)/bin/python fuzz/run.py --seconds $(SECONDS)

# The filter kernels' own libFuzzer target, a standalone binary.
$(FUZZ_NATIVE): tests/native/fuzz_filter.cpp codec/png/filter.cpp codec/png/filter.hpp | fuzz-tools
	mkdir -p $(dir $@)
	clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined,signed-integer-overflow \
	  -fno-sanitize-recover=undefined -fno-wrapv -I. tests/native/fuzz_filter.cpp codec/png/filter.cpp -o $@

fuzz-tools:
	@command -v clang++ >/dev/null 2>&1 || { \
	  (apt-get install -y -q clang || (apt-get update -q && apt-get install -y -q clang)) >/dev/null 2>&1; }
	@command -v clang++ >/dev/null 2>&1 || { echo "clang++ is needed for make fuzz"; exit 1; }

$(FUZZ_VENV)/bin/python:
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q --upgrade pip setuptools wheel
	$(FUZZ_VENV)/bin/python -m pip install -q atheris==$(ATHERIS_VERSION) Pillow

fuzz-install: fuzz-tools $(FUZZ_VENV)/bin/python
	CC=clang CXX=clang++ LUMIVEX_FUZZ=1 $(FUZZ_VENV)/bin/python -m pip install -q --no-build-isolation .

# The fuzzing venv and build; the grown corpus and the findings are kept.
fuzz-clean:
	rm -rf build/fuzz build/fuzz-native $(FUZZ_VENV)
