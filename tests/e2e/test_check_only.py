"""A check-only run (--checkdirty) reports whether an update is due and changes nothing in
the installation but the deletion of the kept master index when it finds changes: no
marker, no file, no directory, on an empty installation too, and a marker that a killed
run left stays as it was."""

from pathlib import Path

from run_available import requires_update_run
from updatekit import MASTERIDX, two_module_kit

pytestmark = requires_update_run


def snapshot(root):
    """Every file and directory below root: {relative path: bytes, or None for a directory}."""
    root = Path(root)
    return {str(p.relative_to(root)): (None if p.is_dir() else p.read_bytes())
            for p in sorted(root.rglob("*"))}


def test_check_only_runs_write_nothing_in_the_installation(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)

    # An empty installation: everything is due, nothing is written.
    before = snapshot(kit.inst)
    r = kit.run([srv.url], ["--checkdirty"])
    assert r.returncode == 255, kit.log_text()
    assert snapshot(kit.inst) == before
    assert not kit.backup.exists()

    # Installed, then a new release and a marker a killed run left behind.
    assert kit.run([srv.url]).returncode == 0
    kit.set_file("core", "README", b"read me v2\n")
    kit.publish()
    marker = kit.inst / (MASTERIDX + ".pending")
    marker.write_bytes(b"")
    before = snapshot(kit.inst)
    r = kit.run([srv.url], ["--checkdirty"])
    assert r.returncode == 255, kit.log_text()
    del before[MASTERIDX]
    assert snapshot(kit.inst) == before
    assert marker.read_bytes() == b""

    # Without changes the check finds nothing due and still writes nothing.
    marker.unlink()
    assert kit.run([srv.url]).returncode == 0
    before = snapshot(kit.inst)
    r = kit.run([srv.url], ["--checkdirty", "--IgnoreMasterIDX=1"])
    assert r.returncode == 0, kit.log_text()
    assert snapshot(kit.inst) == before
