"""What a run says on the console when an attempt fails: the transport's own reason for a
failed transfer, and a failure on this machine is not blamed on the server (the next
server is still tried)."""

import socket

from run_available import requires_update_run
from updatekit import two_module_kit

pytestmark = requires_update_run


def test_failed_attempts_say_why_and_whose_fault(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    with socket.socket() as s:  # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        dead = s.getsockname()[1]
    r = kit.run([f"http://127.0.0.1:{dead}"])
    assert r.returncode == 255
    out = r.stdout.decode()
    assert f"Failed to connect to 127.0.0.1 port {dead}" in out, out

    # The master index cannot be put into the temporary directory: a local failure, with
    # one server left to try.
    (kit.tmp / "demo/master.idx").mkdir(parents=True)
    r = kit.run([srv.url, srv.url + "/"])
    assert r.returncode == 255
    out = r.stdout.decode()
    assert "The update failed on this machine, not on the server: " in out, out
    assert "The update from this server failed" not in out
