"""A self-update end to end over three processes: the installed updater finds its own
module changed, hands it to a copy of itself in "SelfUpdateTemp" and ends with status 0;
the copy puts the new files in place and starts the new updater with noselfupdate, which
finishes the run (the modules after the updater's own) and removes what the first process
left behind. Signed, every process checks what it uses against the trusted keys: the
first the fetched index, the last the kept copy the first accepted."""

import collections
import json
import os
import re
import shutil
import subprocess

import pytest

from updatekit import MESSAGE_FILE, PUBLISH, RECORDING, UPDATER, UpdateKit, wait_for


@pytest.mark.parametrize("signed", [False, True])
def test_self_update_over_three_processes(tmp_path, nginx, signed):
    kit = UpdateKit(tmp_path)
    key = kit.new_key("k")
    publish = [f"--sign-key={key}.key"] if signed else []
    keys = [f"--trusted-keys={key}.pub"] if signed else []
    old_updater = UPDATER.read_bytes()
    # The new updater: the same program with other bytes at its end, so that it runs and
    # differs.
    new_updater = old_updater + b"\0self-update test v2\0"
    messages = MESSAGE_FILE.read_bytes()
    kit.module("selfupdate", {"updater": old_updater, "update_msg.lqr": messages})
    kit.module("core", {"tool": b"tool v1\n"}, post="mark post core")
    kit.publish(extra=publish)
    srv = nginx(kit.www)
    # Installed: v1 of everything, the updater among the files it updates.
    home = kit.inst / "selfupdate"
    home.mkdir()
    shutil.copy2(UPDATER, home / "updater")
    shutil.copy2(MESSAGE_FILE, home / "update_msg.lqr")
    (kit.inst / "core").mkdir()
    (kit.inst / "core" / "tool").write_bytes(b"tool v1\n")
    report = tmp_path / "report.json"
    keys += [f"--report={report}"]
    assert kit.run([srv.url], keys, plugins=False).returncode == 0, kit.log_text()
    installed = json.loads(report.read_text())["version_after"]

    kit.module("selfupdate", {"updater": new_updater, "update_msg.lqr": messages})
    kit.module("core", {"tool": b"tool v2\n"})
    kit.version = "2.0"
    kit.publish(extra=publish)
    kit.clear_markers()

    # Started from a directory that holds a "backup" directory of its own: the helper's
    # default backup directory, which it neither uses nor may remove.
    here = tmp_path / "here"
    (here / "backup").mkdir(parents=True)
    (here / "backup" / "keep.txt").write_bytes(b"not the updater's\n")
    first = kit.start([srv.url], keys, program=home / "updater", plugins=False, cwd=here)
    try:
        assert first.wait(timeout=60) == 0
    finally:
        if first.poll() is None:
            first.kill()
            first.wait()

    # The first process ended with the whole update: the final process had finished.
    assert kit.installed("core", "tool") == b"tool v2\n" and "post core" in kit.markers()
    assert wait_for(lambda: not kit.tmp.exists(), timeout=60), kit.log_text()
    assert (home / "updater").read_bytes() == new_updater
    assert os.access(home / "updater", os.X_OK)
    assert (home / "update_msg.lqr").read_bytes() == messages
    assert kit.markers() == ["post core"]
    # The final process ran after the self-update, reusing the first one's directory.
    log = kit.log_text()
    assert "--NoSelfUpdate" in log
    assert not (kit.tmp / "SelfUpdateTemp").exists()
    assert kit.kept_index().read_bytes() == (kit.www / "demo/master.idx").read_bytes()
    assert (kit.inst / "demo/master.idx.trust").exists() == signed
    assert (here / "backup" / "keep.txt").read_bytes() == b"not the updater's\n"
    assert not kit.backup.exists()
    # The report of the final process gives the version the whole run began with.
    versions = json.loads(report.read_text())
    assert (installed, "2.0") == (versions["version_before"], versions["version_after"]), versions

    # One log for the whole run: the helper and the final process append to what the first
    # process wrote, each line once.
    pids = []
    for line in log.splitlines():
        m = re.search(r" \[(\d+)\]: ", line)
        if m and m.group(1) not in pids:
            pids.append(m.group(1))
    assert len(pids) == 3, log
    assert "Starting the Self Update helper" in log and "Self-update starts" in log
    assert log.count("Updater version : ") == 3, log
    final = [l for l in log.splitlines() if f" [{pids[2]}]: " in l]
    repeated = [l for l, n in collections.Counter(final).items() if n > 1]
    assert repeated == [], repeated
    assert sum("The update is finished" in l for l in final) == 1, log
    # The helper's own temporary directory was empty and is gone.
    helper_tmp = re.search(r'\[%s\]: .*temporary directory "([^"]+)"' % pids[1], log).group(1)
    assert not os.path.exists(helper_tmp), helper_tmp

    # A final process whose part fails (its health check) fails the first process too.
    (kit.inst / "probe").write_text("#!/bin/sh\nexit 3\n")
    (kit.inst / "probe").chmod(0o755)
    kit.module("selfupdate", {"updater": new_updater + b"v3", "update_msg.lqr": messages})
    kit.module("core", {"tool": b"tool v3\n"})["check"] = "probe"
    kit.publish(extra=publish)
    first = kit.start([srv.url], keys, program=home / "updater", plugins=False, cwd=here)
    assert first.wait(timeout=60) == 255 and kit.installed("core", "tool") == b"tool v2\n"
    assert "finished the run and it failed" in kit.log_text()



def test_self_update_with_a_function_replacing_plugin(tmp_path, nginx):
    # The helper loads the plug-in from the side directory when the module carries it, else
    # from where it is; a helper that cannot take over fails the run, which rolls back.
    kit, home, updater = UpdateKit(tmp_path), tmp_path / "inst/selfupdate", UPDATER.read_bytes()
    home.mkdir()
    for f in (UPDATER, MESSAGE_FILE, RECORDING):
        shutil.copy2(f, home / f.name)
    srv = nginx(kit.www)
    for n, files, lib, status in [(2, ["update_msg.lqr", "librecording.so"], home / RECORDING.name, 0),
                                  (3, ["update_msg.lqr"], RECORDING, 0), (4, [], RECORDING, 255)]:
        kit.log.unlink(missing_ok=True)
        kit.module("selfupdate", {"updater": updater + bytes([n]),
                                  **{f: (home / f).read_bytes() for f in files}})
        kit.module("core", {"tool": b"v%d" % n})
        kit.publish()
        first = kit.start([srv.url], program=home / "updater", plugins=False,
                          extra=[f"--updatelib={lib}", f"--guilib={RECORDING}"])
        assert first.wait(timeout=120) == status
        if status == 0:
            assert wait_for(lambda: kit.installed("core", "tool") == b"v%d" % n, timeout=60)
            # The running updater was replaced at once: nothing deferred, no second name.
            assert "copyFileNeedRestart" not in kit.names() and not list(home.glob("*.tmp"))
        assert (n == 2) == ("plug-in : %s/SelfUpdateTemp/" % kit.tmp in kit.log_text())
    log = kit.log_text()
    assert (home / "updater").read_bytes() == updater + b"\3" and "did not take over: it ended " \
        "with status 255" in log and kit.installed("core", "tool") == b"v3", log
    check = subprocess.run([str(PUBLISH), "--check", str(kit.base / "demo.desc"), str(kit.prod),
                            str(kit.www)], capture_output=True, text=True, timeout=60)
    assert "selfupdate updates the updater, but it carries no file named update_msg.lqr" in \
        check.stderr, check.stderr


def test_self_update_of_an_updater_started_through_path(tmp_path, nginx):
    # Started by its bare name, the updater is restarted by its real path. When that path
    # cannot be executed any more (a command removed it), the run fails and the updater's
    # module is put back.
    kit, home, updater = UpdateKit(tmp_path), tmp_path / "inst/selfupdate", UPDATER.read_bytes()
    run_dir = tmp_path / "run"
    for d in (home, run_dir):
        d.mkdir(parents=True)
        for f in (UPDATER, MESSAGE_FILE):
            shutil.copy2(f, d / f.name)
    (kit.inst / "gone").write_text('#!/bin/sh\nrm -f "$1"\n')
    (kit.inst / "gone").chmod(0o755)
    srv = nginx(kit.www)
    for n, path_dir, status in [(2, home, 0), (3, run_dir, 255)]:
        module = kit.module("selfupdate", {"updater": updater + bytes([n]),
                                           "update_msg.lqr": MESSAGE_FILE.read_bytes()})
        module["pre"] = f"gone {run_dir}/updater" if n == 3 else None
        kit.module("core", {"tool": b"v%d" % n})
        kit.publish()
        first = kit.start([srv.url], program="updater", plugins=False,
                          env={"PATH": f"{path_dir}:{os.environ['PATH']}"})
        assert first.wait(timeout=120) == status, kit.log_text()
        if status == 0:
            assert wait_for(lambda: kit.installed("core", "tool") == b"v2", timeout=60)
            assert f"Self-update starts: {os.path.realpath(home)}/updater " in kit.log_text()
    log = kit.log_text()
    assert f'Cannot start the updated updater "{os.path.realpath(run_dir)}/updater"' in log, log
    assert "did not take over: it ended with status 255" in log
    assert (home / "updater").read_bytes() == updater + b"\2"
    assert kit.installed("core", "tool") == b"v2" and not (run_dir / "updater").exists()
