"""A check-only run (--checkdirty) reports whether an update is due and changes nothing in
the installation but the deletion of the kept master index when it finds changes: no
marker, no file, no directory, on an empty installation too, and a marker that a killed
run left stays as it was. So an unprivileged user can check a root-owned installation,
given a log file and a temporary directory of its own. Its one console line says what it
found."""

import os
import subprocess
from pathlib import Path

from run_available import requires_update_run
from test_fault_fs import ROOT, base, unprivileged  # noqa: F401 (base is a fixture)
from updatekit import MASTERIDX, RUN_TIMEOUT, two_module_kit

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
    size = sum(kit.server_file(m["name"], p).stat().st_size for m in kit.modules
               for p in m["files"])
    assert f"update available: 4 files in 2 modules, {size} bytes to download\n".encode() \
        in r.stdout, r.stdout
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
    assert r.stdout.endswith(b"up to date\n"), r.stdout
    assert snapshot(kit.inst) == before


def test_check_without_root_on_a_root_owned_installation(base, nginx):
    # As root the check runs as "nobody"; otherwise the installation is made read-only.
    kit = two_module_kit(base)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    kit.set_file("core", "README", b"read me v2\n")
    kit.publish()
    os.chmod(base, 0o755)
    runner = base / "runner"
    runner.mkdir(mode=0o777)
    runner.chmod(0o777)
    if not ROOT:
        for p in [kit.inst, *kit.inst.rglob("*")]:
            p.chmod(p.stat().st_mode & ~0o222)
    before = snapshot(kit.inst)
    kit.tmp, kit.log = runner / "tmp", runner / "check.log"
    r = subprocess.run(unprivileged() + [str(kit.bin / "updater")] +
                       kit.args([srv.url], ["--checkdirty"], plugins=False),
                       cwd=runner, capture_output=True, timeout=RUN_TIMEOUT)
    assert r.returncode == 255, (r.stdout, kit.log_text())
    assert b"update available: 1 files in 1 modules, " in r.stdout, r.stdout
    assert snapshot(kit.inst) == before
    if not ROOT:
        for p in [kit.inst, *kit.inst.rglob("*")]:
            p.chmod(p.stat().st_mode | 0o200)
