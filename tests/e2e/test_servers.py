"""The shared test servers start, answer as documented and stop by PID."""

import base64
import os
import urllib.error
import urllib.request

import servers


def _get(url, proxy=None, headers=None):
    handlers = [urllib.request.ProxyHandler({"http": proxy} if proxy else {})]
    opener = urllib.request.build_opener(*handlers)
    req = urllib.request.Request(url, headers=headers or {})
    try:
        with opener.open(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, b""


def test_nginx_locations(tmp_path, nginx):
    (tmp_path / "a.txt").write_bytes(b"alpha")
    srv = nginx(tmp_path)
    assert _get(srv.url + "/a.txt") == (200, b"alpha")
    assert _get(srv.url + "/missing")[0] == 404
    assert _get(srv.url + "/private/a.txt")[0] == 401
    auth = "Basic " + base64.b64encode(b"user:secret").decode()
    assert _get(srv.url + "/private/a.txt", headers={"Authorization": auth}) == (200, b"alpha")
    assert _get(srv.url + "/unavailable/a.txt")[0] == 503
    assert _get(srv.url + "/moved/a.txt") == (200, b"alpha")


def test_tinyproxy_with_and_without_auth(tmp_path, nginx, tinyproxy):
    (tmp_path / "a.txt").write_bytes(b"alpha")
    srv = nginx(tmp_path)
    open_proxy = tinyproxy()
    assert _get(srv.url + "/a.txt", proxy=f"http://127.0.0.1:{open_proxy.port}") == (200, b"alpha")
    guarded = tinyproxy("puser", "ppass")
    proxy = f"http://127.0.0.1:{guarded.port}"
    assert _get(srv.url + "/a.txt", proxy=proxy)[0] == 407
    auth = "Basic " + base64.b64encode(b"puser:ppass").decode()
    assert _get(srv.url + "/a.txt", proxy=proxy,
                headers={"Proxy-Authorization": auth}) == (200, b"alpha")


def test_microsocks_speaks_socks5(microsocks):
    s = microsocks()
    import socket
    with socket.create_connection(("127.0.0.1", s.port), timeout=5) as c:
        c.sendall(b"\x05\x01\x00")  # version 5, one method: no authentication
        assert c.recv(2) == b"\x05\x00"


def test_stop_by_pid(tmp_path):
    with servers.Nginx(tmp_path) as srv:
        pid = srv.pid
        srv.stop()
        try:
            os.kill(pid, 0)
            alive = True
        except ProcessLookupError:
            alive = False
        assert not alive
        assert not servers.wait_for_port(srv.port, 0.1)


def test_nginx_tls_with_the_test_ca(tmp_path, nginx):
    import ssl
    (tmp_path / "a.txt").write_bytes(b"alpha")
    srv = nginx(tmp_path, tls=True)
    ctx = ssl.create_default_context(cafile=servers.CA_FILE)
    with urllib.request.urlopen(srv.tls_url + "/a.txt", context=ctx, timeout=10) as r:
        assert r.read() == b"alpha"
