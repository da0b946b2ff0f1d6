# The two commands a newcomer needs: `make demo` and `make test`.
# Both create .venv with CPython 3.8 (taken from pyenv) when it is missing and
# (re)install the package with its test extras before running.

PYTHON_VERSION ?= 3.8
PYTHON ?= $(shell p=$$(pyenv prefix $(PYTHON_VERSION) 2>/dev/null) && echo $$p/bin/python$(PYTHON_VERSION) || command -v python$(PYTHON_VERSION))
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PYTEST_ARGS ?= -q

.PHONY: demo test test-asan test-no-libdeflate install tools clean

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

# The whole suite against a build that inflates and checksums with zlib alone,
# so the path taken without libdeflate stays tested.
NODEFLATE_VENV ?= .venv-nodeflate
test-no-libdeflate: tools
	LUMIVEX_NO_LIBDEFLATE=1 $(MAKE) VENV=$(NODEFLATE_VENV) install
	$(NODEFLATE_VENV)/bin/pytest $(PYTEST_ARGS)

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
	rm -rf build *.egg-info $(VENV) $(ASAN_VENV) $(NODEFLATE_VENV)
