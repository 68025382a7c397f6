"""A run killed while verifying, between accepting and installing, or at any step of writing
the trusted state never lets a later run accept an older serial; the next run completes."""

import shutil

import pytest

from signedkit import serial, sign, signed_kit
from updatekit import MASTERIDX


# Every kill is real: the recording plug-in stops the run at an event ("event#N"), or strace
# stops it on entering the first system call of a kind on a path ("path:call"; the temporary
# file of the state, the state, or its directory, through whose descriptor the state is
# renamed).
@pytest.mark.parametrize("kill, accepted", [("downloadFile#2", False), ("state:read", False),
                                            ("notifyMasterIdxContent#1", True),
                                            ("temp:write", False), ("temp:fsync", False),
                                            ("dir:rename", False), ("dir:fsync", True)])
def test_killed_runs_never_roll_back(tmp_path, nginx, kill, accepted):
    kit = signed_kit(tmp_path / "kit", lambda www: nginx(www).url)
    old = nginx(shutil.copytree(kit.www, tmp_path / "old")).url
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    accepted_line = f"serial={serial(kit.www)}\n".encode()
    v1 = kit.installed_tree()

    state = kit.inst / (MASTERIDX + ".trust")
    temp = state.with_name(state.name + ".new")
    if "#" in kill:
        r = kit.run_signed(env={"UPD_REC_KILL": kill})
    else:
        where, call = kill.split(":")
        path = {"temp": temp, "state": state, "dir": state.parent}[where]
        call = {"rename": "rename,renameat,renameat2"}.get(call, call)
        r = kit.run_signed(prefix=["strace", "-f", "-qq", "-o", "/dev/null", "-P", str(path),
                                   f"-etrace={call}", f"-einject={call}:signal=KILL:when=1"])
    assert r.returncode == -9, r.stderr
    assert (accepted_line in state.read_bytes()) == accepted
    assert kit.installed_tree() == v1

    # The old publication: refused once the new one was accepted.
    r = kit.run_signed(url=old)
    assert (r.returncode == 255) == accepted and kit.installed_tree() == v1
    assert (f"lower than the serial {serial(kit.www)}" in kit.log_text()) == accepted
    # The new one completes, leaving no temporary file, and the old one stays refused.
    assert kit.run_signed().returncode == 0 and kit.installed("core", "tool") == b"v2\n"
    assert not temp.exists()
    assert kit.run_signed(url=old).returncode == 255
    assert kit.installed("core", "tool") == b"v2\n"
