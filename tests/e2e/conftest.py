"""Shared pytest fixtures: real servers on 127.0.0.1, stopped at the end of each test.

    def test_x(tmp_path, nginx):
        srv = nginx(tmp_path / "www")            # or nginx(root, tls=True)
        url = srv.url                            # http://127.0.0.1:<port>

    def test_y(tinyproxy, microsocks):
        p = tinyproxy()                          # or tinyproxy("user", "secret")
        s = microsocks()
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import servers  # noqa: E402


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
