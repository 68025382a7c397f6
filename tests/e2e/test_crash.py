"""Power cuts over a signed update. The installation, its kept index, trusted state and lock,
and the run's temporary and backup directories lie on crashfs, which keeps only what was
synced. The power goes after the n-th change of the file system, at points spread over the
whole run and at every sync, rename and removal of the updater's own files; after each cut
the next run must finish the update, run the POST command it owes, and leave nothing to do.

A quick set of points by default; all of them with --crash-points=all (or
UPDATER_CRASH_POINTS=all), each both losing everything unsynced and keeping random parts."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import sanitized_build
from signedkit import sign, signed_kit
from updatekit import BUILD, MASTERIDX, wait_for

CRASHFS = BUILD / "tests" / "crashfs"
SYNC_SHIM = BUILD / "tests" / "libcrashfs-sync.so"
NOTE = """#!/bin/sh
echo "$*" >> {log}
"""

# Not under the sanitizers: what it tests is the order of writes and syncs, and its
# preloaded sync shim cannot come before their runtime.
pytestmark = pytest.mark.skipif(not CRASHFS.exists() or not os.path.exists("/dev/fuse")
                                or os.geteuid() != 0 or sanitized_build(),
                                reason="needs crashfs, /dev/fuse and root, and no sanitizer")


class Disk:
    """crashfs over `backing`, mounted at `mount` while a run uses it."""

    def __init__(self, base):
        self.backing, self.mount, self.trace = base / "disk", base / "mnt", base / "trace.txt"
        self.mount.mkdir()
        self.server = None

    def attach(self, cut=0, keep=0):
        """keep: 0 loses all that was not synced, "names" keeps every name change and no data,
        a number keeps random parts (the seed)."""
        keep = "--keep-names" if keep == "names" else f"--seed={keep}"
        self.server = subprocess.Popen(
            [CRASHFS, f"--cut={cut}", keep, f"--trace={self.trace}", self.backing,
             self.mount, "-f"], stderr=subprocess.DEVNULL)
        assert wait_for(lambda: os.path.ismount(self.mount), 30), "crashfs did not mount"

    def detach(self):
        subprocess.run(["fusermount3", "-u", str(self.mount)], check=True)
        self.server.wait(timeout=30)

    def calls(self):
        """[(n, call, paths)] of the last mount."""
        return [(int(n), call, rest) for n, call, rest in
                (line.split(" ", 2) for line in self.trace.read_text().splitlines())]


def files_below(root):
    root = Path(root)
    return {str(p.relative_to(root)): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()}


def serial(state):
    m = re.search(rb"^serial=(\d+)$", state.read_bytes() if state.exists() else b"", re.M)
    return int(m.group(1)) if m else 0


def cut_points(calls, everything):
    """Points spread over the run, and before and after every sync, rename and removal of
    the files beside the kept index (marker, index, trusted state, lock and their
    temporaries)."""
    last = calls[-1][0]
    spread = {1 + i * (last - 1) // 49 for i in range(50)}
    own = {n + d for n, call, paths in calls for d in (-1, 0)
           if call in ("fsync", "fsyncdir", "rename", "unlink") and "/inst/demo/" in paths}
    points = sorted(p for p in spread | own if 0 < p <= last)
    return points if everything else points[::max(1, len(points) // 30)]


def test_power_cut_at_any_point_leaves_an_update_the_next_run_completes(tmp_path, nginx,
                                                                        request):
    everything = "all" in (request.config.getoption("--crash-points"),
                           os.environ.get("UPDATER_CRASH_POINTS"))
    kit = signed_kit(tmp_path / "kit", lambda www: nginx(www).url)
    commands = tmp_path / "commands.txt"
    (kit.inst / "mark").write_text(NOTE.format(log=commands))
    disk = Disk(tmp_path)
    pristine = tmp_path / "pristine"
    shutil.move(kit.inst, pristine / "inst")
    kit.inst, kit.tmp, kit.backup = (disk.mount / d for d in ("inst", "work", "backup"))
    state = disk.backing / "inst" / (MASTERIDX + ".trust")
    env = {"LD_PRELOAD": str(SYNC_SHIM), "CRASHFS_CONTROL": str(disk.mount / ".crashfs")}

    def run(cut=0, keep=0):
        if disk.backing.exists():
            shutil.rmtree(disk.backing)
        shutil.copytree(pristine, disk.backing, symlinks=True)
        commands.unlink(missing_ok=True)
        disk.attach(cut, keep)
        r = kit.run_signed(env=env)
        disk.detach()
        return r

    # v1 also holds a configuration file and a file the next release drops; it is
    # installed on the crash file system itself, where the record of installed files then
    # names them.
    kit.set_file("core", "etc/app.conf", b"conf v1\n")
    kit.set_file("core", "share/old.dat", b"dropped in v2\n")
    kit.modules[0]["config"] = {"etc/app.conf"}
    kit.publish(extra=[sign(kit.k1)])
    assert run().returncode == 0, kit.log_text()
    shutil.rmtree(pristine)
    shutil.copytree(disk.backing, pristine, symlinks=True)
    # v2: the binary replaced, a new file beside it (files above a FUSE write each, so a
    # cut can fall inside one), the configuration file's product copy changed (it was not
    # edited here, so it is replaced) and the dropped file gone.
    kit.set_file("core", "bin/tool", os.urandom(300_000))
    kit.set_file("core", "share/new.dat", os.urandom(200_000))
    kit.set_file("core", "etc/app.conf", b"conf v2\n")
    del kit.modules[0]["files"]["share/old.dat"]
    kit.publish(extra=[sign(kit.k1)])
    old = {k: v for k, v in files_below(pristine / "inst").items()
           if k.startswith("core/") and "/." not in k}
    new = {"core/README": b"r1\n", "core/app.conf": b"conf v2\n",
           "core/tool": kit.modules[0]["files"]["bin/tool"],
           "core/new.dat": kit.modules[0]["files"]["share/new.dat"]}
    assert "core/old.dat" in old

    # A run without a cut: the calls it makes give the points.
    serials = [serial(pristine / "inst" / (MASTERIDX + ".trust"))]
    assert run().returncode == 0, kit.log_text()
    serials.append(serial(state))
    calls = disk.calls()
    points = cut_points(calls, everything)
    assert len(points) >= (50 if everything else 10)
    # From this call on the new serial is on the disk.
    accepted = next((n for n, call, paths in calls if call == "fsyncdir" and paths.endswith(
        "/demo") and any(c == "rename" and ".trust" in p and m < n for m, c, p in calls)),
        len(calls) + 1)

    failures = []
    for point in points:
        modes = (0, "names", point)
        for keep in modes if everything else modes[point % 3:point % 3 + 1]:
            where = f"cut after call {point} ({' '.join(calls[point - 1][1:])}), keeping {keep}"
            run(point, keep)
            # What the disk holds after the cut: each installed file old or new, whole; a
            # file new to the installation absent, or new and maybe short; a dropped file
            # whole or gone.
            after = files_below(disk.backing / "inst")
            for path in set(old) | set(new):
                have = after.get(path)
                if path in old and path in new:
                    ok = have in (old[path], new[path])
                elif path in new:
                    ok = have is None or new[path].startswith(have)
                else:
                    ok = have in (None, old[path])
                if not ok:
                    failures.append(f"{where}: {path} holds {len(have or b'')} bytes of neither")
            if serial(state) < serials[point >= accepted]:
                failures.append(f"{where}: the trusted state went back to {serial(state)}")
            before = commands.read_text().splitlines() if commands.exists() else []

            disk.attach()
            second = kit.run_signed(env=env)
            ran = commands.read_text().splitlines() if commands.exists() else []
            third = kit.run_signed(env=env)
            again = commands.read_text().splitlines() != ran if commands.exists() else False
            finished = kit.installed_tree(), kit.tmp.exists(), kit.backup.exists()
            nothing = "downloadNothingChanged" in kit.names()
            disk.detach()
            if second.returncode != 0 or finished != (new, False, False):
                wrong = sorted(p for p in set(new) | set(finished[0])
                               if finished[0].get(p) != new.get(p))
                failures.append(f"{where}: the next run ended {second.returncode}, wrong "
                                f"files {wrong}, leftover directories {finished[1:]}")
            elif "pre core" not in ran or "post core" not in ran[
                    len(ran) - ran[::-1].index("pre core"):]:
                failures.append(f"{where}: commands {before}, then {ran[len(before):]}: "
                                "the POST owed did not run")
            elif third.returncode != 0 or not nothing or again or serial(state) != serials[1]:
                failures.append(f"{where}: the third run ended {third.returncode}, changed "
                                f"nothing: {nothing}, ran {again and 'commands' or 'none'}, "
                                f"serial {serial(state)}")
    tried = len(points) * (3 if everything else 1)
    assert not failures, f"{len(failures)} of {tried} cuts failed:\n" + "\n".join(failures)
