"""What keeps an administrator's mistakes from doing damage: one run per installation at a
time (a check-only run shares the lock and ends at once while a real run holds it), a warning for every key that is not an option, and no installation into "/" by
default."""

import os
import signal
import subprocess
from pathlib import Path

from updatekit import two_module_kit, wait_for

# The first run waits inside globalPre (after the check, before anything is installed)
# until the test lets it go; bounded to 30 s.
HOLD = {"UPD_REC_SHELL_globalPre":
        "touch held; for i in $(seq 600); do [ -e go ] && break; sleep 0.05; done"}


def test_one_run_per_installation_and_a_killed_holder_releases(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    first = kit.start([srv.url], env=HOLD)
    assert wait_for(lambda: (tmp_path / "held").exists())
    # Refused by the lock, and only checking: neither leaves a temporary directory.
    kit.tmp, tmp = None, tmp_path / "t"
    tmp.mkdir()
    second = kit.run([srv.url], plugins=False, env={"TMPDIR": str(tmp)})
    out = second.stdout.decode()
    assert second.returncode == 255
    assert f"Another update of {kit.inst}/ is running (process {first.pid}" in out
    lastrun = Path(f"{kit.kept_index()}.lastrun")
    assert not lastrun.exists()  # the record is the running update's to write
    assert kit.run([srv.url], ["--checkdirty"], env={"TMPDIR": str(tmp)}).returncode == 255
    assert not os.listdir(tmp)
    status = kit.run([srv.url], ["--status=text"], plugins=False).stdout.decode()
    assert f"A run is updating the installation now (process {first.pid})" in status, status
    assert kit.installed_tree() == {}
    (tmp_path / "go").touch()
    assert first.wait(timeout=60) == 0 and kit.installed("core", "README") == b"read me\n"
    assert "outcome=success" in lastrun.read_text()

    # A killed holder (its module command children still running) blocks nobody.
    kit.set_file("core", "README", b"v2")
    kit.publish()
    (tmp_path / "go").unlink()
    (tmp_path / "held").unlink()
    holder = kit.start([srv.url], env=HOLD)
    assert wait_for(lambda: (tmp_path / "held").exists())
    holder.send_signal(signal.SIGKILL)
    holder.wait(timeout=30)
    (tmp_path / "go").touch()
    r = kit.run([srv.url], plugins=False)
    assert r.returncode == 0, r.stdout
    assert kit.installed("core", "README") == b"v2"
    # A lock that cannot be taken for another reason is this run's failure, recorded.
    lock = Path(f"{kit.kept_index()}.lock")
    lock.unlink()
    lock.mkdir()
    assert kit.run([srv.url], plugins=False).returncode == 255
    assert "outcome=refused" in lastrun.read_text()


def test_check_only_run_never_overlaps_a_real_run(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    first = kit.start([srv.url], env=HOLD)
    assert wait_for(lambda: (tmp_path / "held").exists())
    index = kit.kept_index().read_bytes()
    check = kit.run([srv.url], extra=["--checkdirty"], plugins=False)
    assert check.returncode == 255
    assert f"An update of {kit.inst}/ is running" in check.stdout.decode()
    assert kit.kept_index().read_bytes() == index
    (tmp_path / "go").touch()
    assert first.wait(timeout=60) == 0 and kit.installed("core", "README") == b"read me\n"
    # With no real run, a check-only run shares the lock file and leaves it as it was.
    lock = kit.inst / "demo/master.idx.lock"
    held_by = lock.read_bytes()
    assert kit.run([srv.url], extra=["--checkdirty"], plugins=False).returncode == 0
    assert lock.read_bytes() == held_by


def test_unknown_options_are_warned_and_root_is_no_default(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    conf = tmp_path / "update.conf"
    conf.write_text("log-apend = 1\nmy-plugin-key = x\n")
    r = kit.run([srv.url], extra=[f"--config-file={conf}", "--retires=3"])
    out = r.stdout.decode()
    assert r.returncode == 0 and kit.installed("core", "README") == b"read me\n"
    for line in ('"retires" in the command line is not an option of the updater: '
                 "did you mean --retries?",
                 f'"log-apend" in {conf} is not an option of the updater: did you mean '
                 "--log-append?",
                 f'"my-plugin-key" in {conf} is not an option of the updater; the value'):
        assert line in out and line in kit.log_text()
    assert "retires" in kit.events_file.read_text()  # still handed to the plug-ins

    # From "/" without --install-path, or with "./": refused before anything is touched. An
    # explicit --install-path=/ is taken. All only check, so even a failing test writes
    # nothing.
    args = [a for a in kit.args([srv.url], plugins=False) if not a.startswith("--install-path")]
    for explicit, refused in (([], True), (["--install-path=./"], True),
                              (["--install-path=/"], False)):
        r = subprocess.run([str(kit.bin / "updater"), "--checkdirty"] + explicit + args, cwd="/",
                           capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                           env=kit.env())
        assert r.returncode == 255  # refused, or (explicit) an update is available
        assert (b'would be the working directory "/"' in r.stdout) == refused, r.stdout
    assert not os.path.exists("/core") and not os.path.exists("/base")
    # A line end in the path would keep the installed files out of their records.
    r = subprocess.run([str(kit.bin / "updater"), f"--install-path={kit.base}/a\nb"] + args,
                       cwd=kit.base, capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
    assert r.returncode == 255 and b"holds a line end" in r.stdout, r.stdout
    assert not (kit.base / "a\nb").exists()
