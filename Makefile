# The project's commands. `make demo` and `make test` set everything up on a fresh
# machine: they find Python 3.13, make a virtual environment and build the module.

PYTHON313 := $(shell tools/find-python)
VENV      := .venv
PY        := $(VENV)/bin/python
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
PIP_FLAGS := --quiet --disable-pip-version-check
# Every build tool lives in the virtual environment: nothing but a C++20 compiler and
# Python 3.13 is taken from the machine.
BUILD_TOOLS := pip scikit-build-core "cmake>=3.26" ninja

.PHONY: install demo test bench sanitize clean git-server-tools windows windows-test manylinux sdist dist

$(PY):
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install $(PIP_FLAGS) --upgrade $(BUILD_TOOLS)

# The oldest dulwich the package admits; the git tests run on it too, beside the
# newest one in the main environment.
DULWICH_OLDEST := 1.2.16
DULWICH_OLDEST_DIR := $(VENV)/dulwich-$(DULWICH_OLDEST)

# Rebuilt on every call; the CMake build tree under build/ keeps it incremental.
# dulwich is named so that it moves to its newest admitted release.
install: $(PY)
	$(PY) -m pip install $(PIP_FLAGS) --no-build-isolation --upgrade ".[test]" dulwich

$(DULWICH_OLDEST_DIR): $(PY)
	$(PY) -m pip install $(PIP_FLAGS) --no-deps --target $@ "dulwich==$(DULWICH_OLDEST)"

demo: install
	$(PY) examples/tour.py

# The git tests' server: git's own http-backend behind nginx through fcgiwrap, started
# by the suite on a loopback port. Installed from Debian's packages where missing;
# without them (another system) those tests are skipped.
APT_GET := apt-get -o DPkg::Lock::Timeout=600

git-server-tools:
	@test -x /usr/sbin/nginx -a -x /usr/sbin/fcgiwrap || ! command -v apt-get >/dev/null || \
	    $(APT_GET) install -y -qq --no-install-recommends nginx fcgiwrap >/dev/null || \
	    { $(APT_GET) update -qq && $(APT_GET) install -y -qq --no-install-recommends nginx fcgiwrap >/dev/null; }

test: install $(DULWICH_OLDEST_DIR) git-server-tools
	$(PY) -m mypy.stubtest tamareltools.tamarels
	PYTHONPATH=$(DULWICH_OLDEST_DIR) $(PY) -m pytest tests/test_git.py tests/test_git_server.py -q
	$(PY) -m pytest tests -q

# Wall-clock ratios (native against Python, then two own-GIL interpreters against one),
# instruction counts under callgrind where valgrind is installed, then the git working
# copy against the git CLI on the tests' git server, on the newest dulwich and the
# oldest (GIT_BENCH="--files 5000,50000" adds the 50,000-file repository: half an hour).
GIT_BENCH :=

bench: install $(DULWICH_OLDEST_DIR) git-server-tools
	PYTHONPATH=tests $(PY) bench/run.py || true
	$(PY) bench/interpreters.py || true
	command -v valgrind >/dev/null || { command -v apt-get >/dev/null && apt-get install -y -qq valgrind; } || true
	$(PY) -m pip install $(PIP_FLAGS) cython || true
	PYTHONPATH=tests $(PY) bench/instructions.py
	PYTHONPATH=tests $(PY) bench/git_working_copy.py --oldest $(DULWICH_OLDEST_DIR) $(GIT_BENCH)

# AddressSanitizer + UndefinedBehaviorSanitizer build, running the whole suite.
sanitize: git-server-tools
	test -x $(ASAN_PY) || $(PYTHON313) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install $(PIP_FLAGS) --upgrade $(BUILD_TOOLS)
	$(ASAN_PY) -m pip install $(PIP_FLAGS) --no-build-isolation \
	    -C cmake.define.TAMARELS_SANITIZE=ON -C cmake.build-type=Debug \
	    -C build-dir=build/asan ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc \
	    $(ASAN_PY) -m pytest tests -q -p no:cacheprovider

# Other platforms' artefacts, built on this machine (tools/cross says how); downloads and
# zig's compiled runtimes are kept under build/ between runs.
windows:      # dist/tamareltools-*-cp313-cp313-win_amd64.whl, cross-built
	tools/cross windows
windows-test: windows  # that wheel on the Windows CPython under wine, then the suite
	tools/cross windows-test
manylinux:    # dist/tamareltools-*-manylinux_2_17_x86_64*.whl
	tools/cross manylinux
sdist:
	tools/cross sdist
dist:         # all three in dist/, checked and installed into fresh environments
	tools/cross dist

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
