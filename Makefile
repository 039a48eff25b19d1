# Set-up and everyday tasks. Every target installs what it needs and is safe
# to re-run.
SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
JOBS ?= $(shell nproc)
export FERROLUNE_CACHE_DIR ?= $(HOME)/.cache/ferrolune
export LLAMA_CPP_PYTHON_VERSION ?= 0.3.36
LLAMA_BIN := $(FERROLUNE_CACHE_DIR)/llama.cpp-$(LLAMA_CPP_PYTHON_VERSION)/bin
APT_PACKAGES := g++ cmake ninja-build pkg-config libfmt-dev nlohmann-json3-dev libicu-dev \
  libprotobuf-dev protobuf-compiler libgtest-dev libgmock-dev
TEST_BUILD := $(ROOT)/build/tests

.PHONY: all setup system-packages venv llama-tools demo-tools install cpp-tests py-tests test demo bench fuzz clean

all: install

system-packages:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/.deps: requirements-dev.txt
	test -x $(PY) || python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.deps

setup: system-packages venv

llama-tools: venv
	@PYTHON=$(PY) $(ROOT)/scripts/build-llama-tools.sh >/dev/null

# The demo and the benchmarks need the one-shot generator, the quantizer and
# the benchmark tool, not the chat program.
demo-tools: venv
	@PYTHON=$(PY) $(ROOT)/scripts/build-llama-tools.sh llama-completion llama-quantize llama-bench >/dev/null

install: setup
	$(PIP) install -q --no-build-isolation $(ROOT)

cpp-tests: setup llama-tools
	cmake -S $(ROOT) -B $(TEST_BUILD) -G Ninja -DFERROLUNE_BUILD_TESTS=ON -DPython_EXECUTABLE=$(PY) >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && PATH="$(VENV)/bin:$$PATH" FERROLUNE_LLAMA_BIN="$(LLAMA_BIN)" FERROLUNE_SOURCE_DIR=$(ROOT) \
	  ctest --output-on-failure

py-tests: install llama-tools
	PATH="$(VENV)/bin:$$PATH" FERROLUNE_LLAMA_BIN="$(LLAMA_BIN)" FERROLUNE_SOURCE_DIR=$(ROOT) $(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests; \
	  rc=$$?; if [ $$rc -eq 5 ]; then echo "pytest collected no tests"; exit 1; fi; exit $$rc

# Runs both suites even when the first fails, and fails if either did.
test: setup llama-tools
	@status=0; \
	$(MAKE) --no-print-directory cpp-tests || status=1; \
	$(MAKE) --no-print-directory py-tests || status=1; \
	if [ $$status -ne 0 ]; then echo "make test: some tests failed"; fi; \
	exit $$status

demo: install demo-tools
	PATH="$(LLAMA_BIN):$$PATH" $(PY) $(ROOT)/scripts/demo.py

bench: install demo-tools
	PATH="$(LLAMA_BIN):$$PATH" FERROLUNE_SOURCE_DIR=$(ROOT) $(PY) $(ROOT)/bench/run_all.py

fuzz: setup
	$(ROOT)/fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(ROOT)/build
