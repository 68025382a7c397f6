"""One run per installation: a second run while one is under way ends at once with 255,
naming the installation and the holder's process id; a killed holder leaves no lock."""

import os
import signal

from run_available import requires_update_run
from updatekit import UpdateKit, wait_for

pytestmark = requires_update_run


def test_a_second_run_is_refused_until_the_first_is_gone(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("big", {"big.bin": os.urandom(200000)}, post="mark post big")
    kit.publish()
    srv = nginx(kit.www)
    first = kit.start([srv.url + "/slow/"])
    try:
        assert wait_for(lambda: any(n == "onDownloadFile" for _, n, _ in kit.events()),
                        timeout=30)
        second = kit.run([srv.url], env={"UPD_REC_FILE": str(tmp_path / "second.txt")})
        assert second.returncode == 255
        assert (f'Another update of the installation "{kit.inst}" is running '
                f"(process {first.pid})").encode() in second.stdout, second.stdout
        assert "onUpdateStart" not in (tmp_path / "second.txt").read_text()  # nothing began
        assert first.poll() is None
    finally:
        first.send_signal(signal.SIGKILL)
        first.wait()

    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("big", "big.bin") is not None and kit.markers() == ["post big"]
