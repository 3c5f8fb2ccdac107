# Every target does its own set-up: a virtual environment under .venv with
# the build and test dependencies, then a build of the extension into it.
SHELL := /bin/bash
PYTHON313 := $(shell scripts/find-python.sh)
VENV := .venv
PY := $(VENV)/bin/python
DEPS := scikit-build-core hatchling paramiko pytest hypothesis asyncssh tqdm mypy types-paramiko
# The framework modules the extension imports: stand-ins of their own
# distribution, for where the framework is not installed.
STAND_INS := framework/stand_ins
PIP_INSTALL = $(1)/bin/python -m pip install --quiet --disable-pip-version-check

.PHONY: all venv build build-sanitize demo test test-fast test-sanitize check-framework bench check-dist clean

all: test

$(VENV)/.ready: pyproject.toml Makefile
	@test -n "$(PYTHON313)" || { echo "Python 3.13 is required" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(call PIP_INSTALL,$(VENV)) $(DEPS)
	touch $@

venv: $(VENV)/.ready

build: venv
	$(call PIP_INSTALL,$(VENV)) --no-build-isolation --no-deps --force-reinstall \
	  -C build-dir=build/release .
	$(call PIP_INSTALL,$(VENV)) --no-build-isolation --no-deps --force-reinstall ./$(STAND_INS)

demo: build
	$(PY) devtools/round_trip.py $(DEMO_ARGS)

test-fast: build
	scripts/run-pytest.sh $(PY) tests

# The same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded; its leak check stays off because the
# interpreter keeps memory at exit by design (reference-count tests cover
# the module's own leaks).
ASAN_VENV := $(VENV)-asan
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
UBSAN_RUNTIME = $(shell $(CXX) -print-file-name=libubsan.so)
SANITIZER_ENV = LD_PRELOAD="$(ASAN_RUNTIME) $(UBSAN_RUNTIME)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 SFTP_MAIN_SANITIZED=1

$(ASAN_VENV)/.ready: pyproject.toml Makefile
	$(PYTHON313) -m venv $(ASAN_VENV)
	$(call PIP_INSTALL,$(ASAN_VENV)) $(DEPS)
	touch $@

build-sanitize: $(ASAN_VENV)/.ready
	SFTP_MAIN_SANITIZE=ON $(call PIP_INSTALL,$(ASAN_VENV)) --no-build-isolation --no-deps --force-reinstall \
	  -C build-dir=build/sanitize .
	$(call PIP_INSTALL,$(ASAN_VENV)) --no-build-isolation --no-deps --force-reinstall ./$(STAND_INS)

test-sanitize: build-sanitize
	$(SANITIZER_ENV) scripts/run-pytest.sh $(ASAN_VENV)/bin/python tests

# The wheel, built from the release build's tree, installed beside another
# distribution of the framework modules and uninstalled: those stay as they were.
check-framework: build
	rm -rf build/wheel
	$(VENV)/bin/python -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  -C build-dir=build/release -w build/wheel .
	scripts/check-framework-files.sh $(PYTHON313) build/wheel/sftp_main-*.whl

test: test-fast test-sanitize check-framework

bench: build
	$(PY) bench/run.py

check-dist:
	scripts/check-dist.sh $(PYTHON313)

clean:
	rm -rf build $(VENV) $(VENV)-asan
