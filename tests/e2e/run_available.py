"""Whether build/updater carries the update run: a build without it says so and fails every
run, so the tests of whole runs are skipped there instead of failing for a missing class."""

import os
import subprocess
import tempfile

import pytest

_NO_RUN = "has no update run"


def _has_update_run():
    build = os.environ["UPDATER_BUILD_DIR"]
    with tempfile.TemporaryDirectory() as d:
        p = subprocess.run([os.path.join(build, "updater"), "--masteridx=m",
                            f"--url=file://{d}/none", "--productinfofile=p", "--productroot=r",
                            f"--install-path={d}", f"--logfile={d}/update.log"],
                           capture_output=True, text=True, timeout=60)
    return _NO_RUN not in p.stdout + p.stderr


requires_update_run = pytest.mark.skipif(not _has_update_run(),
                                         reason="this build of the updater has no update run")
