# The two commands of the README:
#   make test   install what is missing, build, run the C++ and Python tests
#   make demo   the same set-up, then show tev at work on a bundled sample
#
# PYTHON selects the interpreter the module is built for and the venv is made
# from; each interpreter gets its own build folder.

PYTHON ?= /usr/bin/python3
PY_TAG := $(shell $(PYTHON) -c 'import sys; print("py%d.%d" % sys.version_info[:2])' 2>/dev/null)
BUILD ?= $(if $(filter /usr/bin/python3,$(PYTHON)),build,build-$(PY_TAG))
VENV ?= .venv
# A second interpreter the module must also build and import on, when present.
PYTHON_ALT ?= /root/.pyenv/versions/3.13.0/bin/python3
BUILD_ALT ?= build-alt
# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
# any single allocation past 1 GiB (a size taken on trust from a damaged
# file) ends the run.
BUILD_SAN ?= build-sanitize

# CI builds with warnings as errors.
WERROR ?= $(if $(CI),ON,OFF)

PACKAGES := build-essential cmake ninja-build pkg-config \
	python3-dev python3-venv python3-pytest python3-tqdm python3-mypy \
	python3-setuptools python3-wheel python3-pip libgtest-dev libfmt-dev \
	zlib1g-dev libbz2-dev liblzma-dev libplist-dev libxml2-dev libdeflate-dev libssl-dev \
	xz-utils cpio libarchive-tools xorriso 7zip p7zip-full dmg2img apfsprogs \
	sleuthkit libfshfs-utils libfsapfs-utils

CMAKE_FLAGS := -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DTEV_WERROR=$(WERROR)

.PHONY: all deps build module venv venv-setup test test-cpp test-python test-wheel test-alt test-sanitize demo bench clean

all: build

# Installs only what is missing, so a machine that has everything is quick.
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)

# Only the extension module, for what needs no C++ test (the demo).
module: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) --target _tev

venv: build venv-setup

# The package runs from the source tree and the build folder: the venv gets a
# .pth file naming both, and a `tev` command.
venv-setup:
	@if [ ! -x $(VENV)/bin/python ] || [ "$$(cat $(VENV)/.tev-python 2>/dev/null)" != "$(PYTHON)" ]; then \
	  rm -rf $(VENV) && $(PYTHON) -m venv --system-site-packages $(VENV) && echo "$(PYTHON)" > $(VENV)/.tev-python; \
	fi
	@site=$$($(VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])'); \
	printf '%s\n%s\n' "$(CURDIR)/python" "$(CURDIR)/$(BUILD)/python" > $$site/tev.pth
	@printf '#!%s\nimport sys\nfrom tev.cli import main\nsys.exit(main())\n' "$(CURDIR)/$(VENV)/bin/python" > $(VENV)/bin/tev
	@chmod +x $(VENV)/bin/tev

test: venv
	@status=0; \
	$(MAKE) --no-print-directory test-cpp || status=1; \
	$(MAKE) --no-print-directory test-python || status=1; \
	$(MAKE) --no-print-directory test-wheel || status=1; \
	$(MAKE) --no-print-directory test-sanitize || status=1; \
	$(MAKE) --no-print-directory test-alt || status=1; \
	exit $$status

test-cpp:
	cd $(BUILD) && ctest --output-on-failure --timeout 300

test-python:
	TEV_SELFTEST_DIR=$(CURDIR)/$(BUILD)/tests/python $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/python

# The wheel as a user gets it: built offline by setuptools (driving the same
# CMake build, here the one in $(BUILD)), installed into a fresh venv whose
# only other packages are Debian's (tqdm), and run from outside the tree.
WHEEL_DIR := $(CURDIR)/$(BUILD)/wheel
SAMPLE_FIXTURE := $(CURDIR)/../shared/fixtures/real/hfs_dmg/dfvfs/hfsplus.raw
test-wheel: deps
	cmake --build $(BUILD) --target _tev
	rm -rf $(WHEEL_DIR) && mkdir -p $(WHEEL_DIR)
	TEV_CMAKE_BUILD_DIR=$(CURDIR)/$(BUILD) $(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .
	$(PYTHON) -m venv --system-site-packages $(WHEEL_DIR)/venv
	$(WHEEL_DIR)/venv/bin/pip install -q --no-index $(WHEEL_DIR)/tev-*.whl
	cd / && $(WHEEL_DIR)/venv/bin/tev --version
	cd demo && ls | cpio -o -H newc --quiet > $(WHEEL_DIR)/demo.cpio
	cd / && $(WHEEL_DIR)/venv/bin/tev ls -l $(WHEEL_DIR)/demo.cpio | grep -q ' README.md$$'
	@if [ -f $(SAMPLE_FIXTURE) ]; then cd / && $(WHEEL_DIR)/venv/bin/tev ls $(SAMPLE_FIXTURE) | grep -qx passwords.txt; \
	else echo "no shared fixtures: the wheel was tried on a CPIO only"; fi

test-sanitize: deps
	cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTEV_SANITIZE=ON -DTEV_PYTHON=OFF \
	  -DTEV_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD_SAN)
	cd $(BUILD_SAN) && ASAN_OPTIONS=max_allocation_size_mb=1024:allocator_may_return_null=0 \
	  ctest --output-on-failure --timeout 600

# The module must also build and import on the newer interpreter and pass the
# module-surface tests there (Debian's pytest is pure Python and runs on it).
test-alt:
	@if [ ! -x "$(PYTHON_ALT)" ]; then echo "no $(PYTHON_ALT): skipping the second interpreter"; exit 0; fi; \
	cmake -S . -B $(BUILD_ALT) -G Ninja -DPython3_EXECUTABLE=$(PYTHON_ALT) -DTEV_WERROR=$(WERROR) >/dev/null && \
	cmake --build $(BUILD_ALT) --target _tev _tev_selftest && \
	PYTHONPATH=$(CURDIR)/python:$(CURDIR)/$(BUILD_ALT)/python:/usr/lib/python3/dist-packages \
	TEV_SELFTEST_DIR=$(CURDIR)/$(BUILD_ALT)/tests/python \
	$(PYTHON_ALT) -W ignore::DeprecationWarning -m pytest -q -p no:cacheprovider tests/python/test_module.py

demo: module venv-setup
	$(VENV)/bin/python demo/demo.py

# Benchmarks against peer tools; they print ratios and are never part of `make test`.
bench: venv
	cmake --build $(BUILD) --target lzfse_bench dmg_stream
	./bench/corpus.sh 100 | tr '\n' '\0' | xargs -0 $(BUILD)/bench/lzfse_bench
	$(VENV)/bin/python bench/dmg_bench.py $(BUILD) 512
	$(VENV)/bin/python bench/pbzx_bench.py $(BUILD) 512
	$(VENV)/bin/python bench/fs_bench.py hfsplus
	$(VENV)/bin/python bench/fs_bench.py apfs
	$(VENV)/bin/python bench/xar_bench.py $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ALT) $(BUILD_SAN) $(VENV) build-setuptools
