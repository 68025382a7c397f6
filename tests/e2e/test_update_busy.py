"""A whole run that replaces a file a program is running from: the target cannot be
written in place, but the new file written beside it takes its name at once. The running
program keeps its old file; no second name is left and nothing is deferred."""

import os
import shutil
import subprocess

from updatekit import UpdateKit, wait_for


def test_running_program_is_replaced_at_once(tmp_path, nginx):
    program = open(shutil.which("sleep"), "rb").read()
    kit = UpdateKit(tmp_path)
    kit.module("core", {"daemon": program, "data": b"data v1\n"})
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()

    daemon = kit.inst / "core" / "daemon"
    aside = kit.inst / "core" / "daemon.tmp"
    running = subprocess.Popen([str(daemon), "60"], stdin=subprocess.DEVNULL)
    try:
        # Once it runs, the program's file cannot be opened for writing any more.
        assert wait_for(lambda: _runs_from(running.pid, daemon), timeout=10)
        new_program = program + b"\0daemon v2\0"
        kit.module("core", {"daemon": new_program, "data": b"data v2\n"})
        kit.publish()

        r = kit.run([srv.url])
        assert r.returncode == 0, kit.log_text()
        assert kit.installed_tree() == {"core/daemon": new_program, "core/data": b"data v2\n"}
        assert not aside.exists()
        assert running.poll() is None  # the program went on with its old file
        assert "copyFileNeedRestart" not in kit.names()
        assert not kit.tmp.exists() and not kit.backup.exists()

        # Nothing is left to do: the next run against the same server changes nothing.
        r = kit.run([srv.url])
        assert r.returncode == 0, kit.log_text()
        assert "downloadNothingChanged" in kit.names()
        assert kit.installed_tree() == {"core/daemon": new_program, "core/data": b"data v2\n"}
        assert not aside.exists()
    finally:
        running.kill()
        running.wait()


def _runs_from(pid, path):
    try:
        return os.readlink(f"/proc/{pid}/exe") == str(path)
    except OSError:
        return False
