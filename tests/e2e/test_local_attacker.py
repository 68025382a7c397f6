"""A local, unprivileged user against a root run of the updater.

The updater runs as root; the attacker is the user "nobody" (setpriv), who may write only
where the installation or /tmp lets every user write. Each case prepares a trap the way a
local user could (a pre-created directory, a planted link, a file held open, a forged
marker), lets a root run go by and then checks that nothing outside the installation
changed, that no installed file is owned by or writable for the attacker, and that no
command of the attacker's ran."""

import grp
import os
import pwd
import shutil
import stat
import subprocess
import tempfile
from itertools import product
from pathlib import Path

import pytest

from updatekit import UpdateKit

ATTACKER = "nobody"

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                                reason="needs root and setpriv")


def attacker_uid():
    return pwd.getpwnam(ATTACKER).pw_uid


def attacker_argv(args):
    """args as a command line that runs them as the attacker."""
    group = grp.getgrgid(pwd.getpwnam(ATTACKER).pw_gid).gr_name
    return ["setpriv", f"--reuid={ATTACKER}", f"--regid={group}", "--clear-groups", *args]


def as_attacker(args, **kwargs):
    """Runs args as the attacker; gives the CompletedProcess."""
    return subprocess.run(attacker_argv(args), capture_output=True, timeout=60, **kwargs)


def assert_nothing_of_attacker(inst):
    """No file below inst is owned by or writable for the attacker (world-writable
    directories the test made for the attack itself excepted)."""
    uid = attacker_uid()
    for top, dirs, files in os.walk(inst):
        for name in files:
            st = os.lstat(os.path.join(top, name))
            assert st.st_uid != uid, os.path.join(top, name)
            assert not (stat.S_ISREG(st.st_mode) and st.st_mode & stat.S_IWOTH), \
                os.path.join(top, name)


# Run by the attacker with the files to hold: opens what it may, waits for a line, then
# writes through every descriptor it holds.
HOLD_OPEN = ('for f; do exec {fd}<>"$f" && fds+=($fd); done 2>/dev/null; echo; read x; '
             'for fd in "${fds[@]}"; do echo "attacker\'s" >&$fd; done')


def test_links_and_held_files_planted_beside_the_targets(tmp_path, nginx):
    # In a sticky and a plain world-writable directory, at new and at replaced names: a link
    # to root's file outside, a held ".upd-new", dangling links at the target and at its
    # ".upd-new", a directory at ".upd-new" and a held file at the target. The downloads
    # are moved into place (same file system), then copied (from /dev/shm).
    for p in (tmp_path, *tmp_path.parents):
        p.chmod(p.stat().st_mode | 0o011)
    outside, made = tmp_path / "outside.txt", tmp_path / "made"
    outside.write_bytes(b"root's")
    kit, dirs, names = UpdateKit(tmp_path), ("sticky", "open"), list("abcd")
    srv, shm = nginx(kit.www), Path(tempfile.mkdtemp(dir="/dev/shm"))
    try:
        for n, tmp in enumerate([kit.tmp, kit.tmp, shm / "work"]):
            new, plant, held = [f"n{n}{x}" for x in "abcd"], [], []
            for d, (link, keep, dangling, blocked) in product(dirs, (names[:4], new) if n else ()):
                plant += [f"ln -sfn {outside} {d}/{link}", f"ln -sfn {made} {d}/{dangling}",
                          f"ln -sfn {made} {d}/.{dangling}.upd-new", f"rm -f {d}/{blocked}",
                          f"mkdir -p {d}/.{blocked}.upd-new/sub"]
                held += [f"{d}/.{keep}.upd-new", f"{d}/{blocked}"]
            as_attacker(["sh", "-c", "; ".join(plant)], cwd=kit.inst)
            holder = subprocess.Popen(attacker_argv(["bash", "-c", HOLD_OPEN, "-", *held]),
                                      cwd=kit.inst, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            holder.stdout.readline()
            names, kit.tmp = names + (new if n else []), tmp
            for d in dirs:
                kit.module(d, {f: f"{d}/{f} {n}".encode() for f in names})
            kit.publish()
            r = kit.run([srv.url])
            holder.communicate(b"\n", timeout=60)
            assert r.returncode == 0, kit.log_text()
            for d, mode in zip(dirs, (0o1777, 0o777)):  # the attacker's leftovers go
                (kit.inst / d).chmod(mode)
                for leftover in (kit.inst / d).glob(".*"):
                    shutil.rmtree(leftover) if leftover.is_dir() else leftover.unlink()
            assert outside.read_bytes() == b"root's" and not made.exists()
            assert_nothing_of_attacker(kit.inst)
            assert kit.installed_tree() == {f"{d}/{f}": f"{d}/{f} {n}".encode()
                                            for d in dirs for f in names}
            assert not any((kit.inst / d / f).is_symlink() for d in dirs for f in names)
    finally:
        shutil.rmtree(shm, ignore_errors=True)
