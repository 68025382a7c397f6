"""Shared pytest fixtures: real servers on 127.0.0.1, stopped at the end of each test.

    def test_x(tmp_path, nginx):
        srv = nginx(tmp_path / "www")            # or nginx(root, tls=True)
        url = srv.url                            # http://127.0.0.1:<port>

    def test_y(tinyproxy, microsocks):
        p = tinyproxy()                          # or tinyproxy("user", "secret")
        s = microsocks()
"""

import os
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import servers  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--crash-points", default="quick",
                     help="test_crash.py: 'all' cuts the power at every point, not a quick set")


def _factory(cls):
    started = []

    def make(*args, **kwargs):
        server = cls(*args, **kwargs).start()
        started.append(server)
        return server

    return make, started


@pytest.fixture
def nginx():
    make, started = _factory(servers.Nginx)
    yield make
    for s in reversed(started):
        s.close()


@pytest.fixture
def tinyproxy():
    make, started = _factory(servers.TinyProxy)
    yield make
    for s in reversed(started):
        s.close()


@pytest.fixture
def microsocks():
    make, started = _factory(servers.MicroSocks)
    yield make
    for s in reversed(started):
        s.close()


@pytest.fixture
def build_dir():
    return os.environ.get("UPDATER_BUILD_DIR",
                          os.path.join(os.path.dirname(__file__), "..", "..", "build"))


@pytest.fixture
def source_dir():
    return os.environ.get("UPDATER_SOURCE_DIR",
                          os.path.join(os.path.dirname(__file__), "..", ".."))


def sanitized_build(build=None):
    """True when the build directory was configured with the sanitizers (UPDATER_SANITIZE or
    UPDATER_TSAN)."""
    build = build or os.environ.get("UPDATER_BUILD_DIR",
                                    os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            return any(line.strip() in ("UPDATER_SANITIZE:BOOL=ON", "UPDATER_TSAN:BOOL=ON")
                       for line in f)
    except OSError:
        return False


# Sanitizer options of every instrumented process a test starts (the updater, the publisher,
# the plug-in drivers, and the updaters they start in turn), unless the environment gives
# its own. Reports go to files, one per process, so that a report of a process whose exit
# status a test expects to be non-zero (a rollback, a refused server, an interrupted run)
# still fails the test.
SANITIZER_OPTIONS = {
    "ASAN_OPTIONS": "detect_leaks=1:halt_on_error=1:abort_on_error=0:"
                    "detect_stack_use_after_return=1:check_initialization_order=1:"
                    "strict_init_order=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    "TSAN_OPTIONS": "halt_on_error=0:second_deadlock_stack=1",
}


@pytest.fixture(autouse=True)
def sanitizer_reports():
    """In a sanitized build: fails the test when any process it started wrote a report."""
    if not sanitized_build():
        yield
        return
    logs = tempfile.mkdtemp(prefix="sanitizer-")
    saved = {k: os.environ.get(k) for k in SANITIZER_OPTIONS}
    for key, options in SANITIZER_OPTIONS.items():
        options = saved[key] or options
        os.environ[key] = f"{options}:log_path={logs}/{key.split('_')[0].lower()}"
    try:
        yield
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        reports = []
        for name in sorted(os.listdir(logs)):
            with open(os.path.join(logs, name), encoding="utf-8", errors="replace") as f:
                reports.append(f"--- {name}\n{f.read()}")
        shutil.rmtree(logs, ignore_errors=True)
        if reports:
            pytest.fail("sanitizer reports:\n" + "\n".join(reports), pytrace=False)
