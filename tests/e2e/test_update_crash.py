"""An updater killed in the middle of an update must not leave a kept master index that
claims the product is up to date: the next run against the same server finishes the job."""

from updatekit import MASTERIDX, UpdateKit

# Kills the updater that started it (SIGKILL: no handler, no clean-up), once.
KILL_ONCE = """#!/bin/sh
flag="$(dirname "$0")/kill-armed"
if [ -e "$flag" ]; then rm -f "$flag"; kill -9 $PPID; sleep 5; fi
"""


def test_run_killed_after_the_index_check_is_finished_by_the_next_run(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    killer = kit.inst / "killer"
    killer.write_text(KILL_ONCE)
    killer.chmod(0o755)
    kit.module("core", {"bin/tool": b"v1\n", "README": b"read me\n"}, pre="killer")
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == b"v1\n"

    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish()
    (kit.inst / "kill-armed").touch()
    r = kit.run([srv.url])
    assert r.returncode == -9, (r.returncode, kit.log_text())
    # Killed in the pre command: the new index was fetched but nothing was installed.
    assert kit.installed("core", "bin/tool") == b"v1\n"

    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == b"v2\n"
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not (kit.inst / (MASTERIDX + ".pending")).exists()

    # And from then on the kept index says "nothing changed" again.
    r = kit.run([srv.url])
    assert r.returncode == 0
    assert "LIB downloadNothingChanged()" in kit.run_events()
