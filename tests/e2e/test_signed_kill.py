"""The trusted state under SIGKILL: a run killed while it verifies a new index, between
accepting it and installing, or while it writes the state (a half-written state file left
beside it) never lets a later run accept an older serial than the one accepted, and the
next run still completes the update."""

import shutil

import pytest

from signedkit import sign, signed_kit
from updatekit import MASTERIDX


@pytest.mark.parametrize("kill, accepted", [("downloadFile#2", False),
                                            ("notifyMasterIdxContent", True),
                                            ("state-write", True)])
def test_killed_runs_never_roll_back(tmp_path, nginx, kill, accepted):
    kit = signed_kit(tmp_path / "kit", lambda www: nginx(www).url)
    old = nginx(shutil.copytree(kit.www, tmp_path / "old")).url
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    v1 = kit.installed_tree()

    slot = "notifyMasterIdxContent" if kill == "state-write" else kill
    r = kit.run_signed(env={"UPD_REC_KILL": slot})
    assert r.returncode == -9
    state = kit.inst / (MASTERIDX + ".trust")
    if kill == "state-write":
        # What a kill inside the write leaves: the old state and a partial file beside it.
        (kit.inst / (MASTERIDX + ".trust.Xk1LLd")).write_text("serial=9\nsha")
    assert (b"serial=2\n" in state.read_bytes()) == accepted
    assert kit.installed_tree() == v1

    # The old publication: refused once the new one was accepted.
    r = kit.run_signed(url=old)
    assert (r.returncode == 255) == accepted and kit.installed_tree() == v1
    assert ("lower than the serial 2" in kit.log_text()) == accepted
    # The new one completes, and the old one stays refused.
    assert kit.run_signed().returncode == 0 and kit.installed("core", "tool") == b"v2\n"
    assert kit.run_signed(url=old).returncode == 255
    assert kit.installed("core", "tool") == b"v2\n"
