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
