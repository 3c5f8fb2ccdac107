# Every target does its own set-up: a virtual environment under .venv with
# the build and test dependencies, then a build of the extension into it.
SHELL := /bin/bash
PYTHON313 := $(shell scripts/find-python.sh)
VENV := .venv
PY := $(VENV)/bin/python
DEPS := scikit-build-core paramiko pytest hypothesis asyncssh
PIP_INSTALL = $(1)/bin/python -m pip install --quiet --disable-pip-version-check

.PHONY: all venv build demo test test-fast test-sanitize clean

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

demo: build
	$(PY) devtools/round_trip.py

test-fast: build
	scripts/run-pytest.sh $(PY) tests

test: test-fast test-sanitize

clean:
	rm -rf build $(VENV) $(VENV)-asan
