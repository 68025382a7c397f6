"""A local, unprivileged user against a root run of the updater.

The updater runs as root; the attacker is the user "nobody" (setpriv), who may write only
where the installation or /tmp lets every user write. Each case prepares a trap the way a
local user could (a pre-created directory, a planted link, a file held open, a forged
marker), lets a root run go by and then checks that nothing outside the installation
changed, that no installed file is owned by or writable for the attacker, and that no
command of the attacker's ran."""

import base64
import grp
import os
import pwd
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from signedkit import pub, sign
from updatekit import UpdateKit

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


def test_a_trusted_key_listed_twice_is_refused(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    key = kit.new_key("k")
    kit.module("core", {"bin/tool": b"v1\n"}, pre="mark pre core", post="mark post core")
    kit.publish(extra=[sign(key)])
    # The same public key once more under another id.
    raw = bytearray(base64.b64decode(pub(key).read_text().splitlines()[1]))
    raw[2:10] = bytes(b ^ 0xFF for b in raw[2:10])
    trusted = tmp_path / "trusted.pub"
    trusted.write_text(pub(key).read_text() + "untrusted comment: again\n" +
                       base64.b64encode(bytes(raw)).decode() + "\n")
    r = kit.run([nginx(kit.www).url], extra=[f"--trusted-keys={trusted}", "--trust-threshold=2"])
    out = r.stdout.decode() + kit.log_text()
    assert r.returncode == 255 and f'"{trusted}" lists one public key twice' in out, out
    assert kit.installed_tree() == {} and kit.markers() == []
    assert_nothing_of_attacker(kit.inst)


def test_a_module_command_inherits_only_the_standard_descriptors(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    lister = kit.inst / "fds"  # prints its descriptors but the one its listing opened
    lister.write_text(f"#!{sys.executable}\nimport os\np = '/proc/self/fd/'\nprint('fds', *[\n"
                      "    n + '=' + os.readlink(p + n) for n in sorted(os.listdir(p), key=int)\n"
                      "    if os.path.lexists(p + n)])\n")
    lister.chmod(0o755)
    kit.module("core", {"bin/tool": b"v1\n", "README": b"r1\n"}, post="fds")
    kit.publish()
    r = kit.run([nginx(kit.www).url])
    assert r.returncode == 0, kit.log_text()
    line = [l for l in r.stdout.decode().splitlines() if l.startswith("fds ")][0].split()
    assert [entry.split("=")[0] for entry in line[1:]] == ["0", "1", "2"], line
    assert_nothing_of_attacker(kit.inst)
