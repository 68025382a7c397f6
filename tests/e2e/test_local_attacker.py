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
from pathlib import Path

import pytest

ATTACKER = "nobody"

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                                reason="needs root and setpriv")


def attacker_uid():
    return pwd.getpwnam(ATTACKER).pw_uid


def as_attacker(args, **kwargs):
    """Runs args as the attacker; gives the CompletedProcess."""
    user = pwd.getpwnam(ATTACKER)
    group = grp.getgrgid(user.pw_gid).gr_name
    return subprocess.run(["setpriv", f"--reuid={ATTACKER}", f"--regid={group}",
                           "--clear-groups", *args], capture_output=True, timeout=60, **kwargs)


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


def reachable(path):
    """Lets every user pass through the directories above path (not list or write them)."""
    for parent in Path(path).parents:
        mode = parent.stat().st_mode
        if not mode & stat.S_IXOTH:
            parent.chmod(stat.S_IMODE(mode) | stat.S_IXOTH)


def test_links_beside_the_kept_index(tmp_path, nginx):
    from signedkit import sign, signed_kit
    kit = signed_kit(tmp_path / "k", lambda www: nginx(www).url)
    outside = tmp_path / "outside"
    outside.mkdir()
    secret = outside / "secret"
    secret.write_bytes(b"root's own\n")
    kept = kit.kept_index()
    reachable(kept)
    for d in (kit.inst, kept.parent):
        d.chmod(0o777)  # the attacker may rename and plant names here
    names = [kept.name + suffix for suffix in
             ("", ".new", ".pending", ".pending.new", ".trust", ".trust.new", ".lock")]
    plants = [(kept.parent / n, secret) for n in names] + [(kit.inst / ".update-partial", outside)]
    for version, (link, target) in enumerate(plants, 2):
        kit.set_file("core", "bin/tool", b"v%d\n" % version)
        kit.publish(extra=[sign(kit.k1)])
        planted = as_attacker(["sh", "-c", 'mv -f "$1" "$1.old" 2>/dev/null; ln -s "$2" "$1"',
                               "sh", str(link), str(target)])
        assert planted.returncode == 0 and link.is_symlink(), planted.stderr
        r = kit.run_signed()
        out = r.stdout.decode(errors="replace")
        assert secret.read_bytes() == b"root's own\n" and os.listdir(outside) == ["secret"]
        if r.returncode == 0:
            assert kit.installed("core", "tool") == b"v%d\n" % version, link
        else:  # refused, naming the file it would not use
            assert r.returncode == 255 and link.name in out, out
        if link.is_symlink():
            link.unlink()
        assert kit.markers() in ([], ["pre core", "post core"])
        kit.clear_markers()
        assert_nothing_of_attacker(kit.inst)
