"""An updater killed with SIGKILL (no handler, no clean-up) at any step of an update run must
converge: right after the kill the installation is the old version (or already the new one,
or, killed inside a module's installation, old files with the first new ones), and one more
run against the same server makes it exactly the new version, leaves no temporary or backup
files behind, keeps the server's master index without the ".pending" marker, and the run
after that finds nothing changed. Post commands the killed run owed (its modules were
installed, their post commands not run) run with the next run, even with every file in
place.

The recording plug-in stops the run dead at an exact event (UPD_REC_KILL=slot#N)."""

import copy
import glob
import os
import shutil
import tempfile
from pathlib import Path

import pytest

import servers
from updatekit import KEPT_RECORDS, MASTERIDX, UpdateKit

# Two modules with several files each. Between the versions some files change, some stay,
# one is added and one is dropped from the product. The dropped one is removed only where
# the updater installed it in this very directory: a copied installation (the template's
# copies below) keeps it.
V1 = {"base": {"lib/liba.so": b"a1" * 300, "lib/libb.so": b"b1" * 30, "lib/libc.so": b"c1\n",
               "share/base.dat": b"d1\n"},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v1\n", "README": b"read me\n",
               "etc/core.conf": b"conf v1\n", "old.txt": b"dropped in v2\n"}}
V2 = {"base": {"lib/liba.so": b"a2" * 300, "lib/libb.so": b"b2" * 30, "lib/libc.so": b"c1\n",
               "share/base.dat": b"d2\n"},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v2\n", "README": b"read me\n",
               "etc/core.conf": b"conf v2\n", "new.txt": b"new in v2\n"}}


def flat(version):
    """The installed tree a version gives: module/<base name> -> bytes."""
    return {f"{m}/{path.rsplit('/', 1)[-1]}": data
            for m, files in version.items() for path, data in files.items()}


OLD = flat(V1)
NEW = {**OLD, **flat(V2)}


def pending(kit):
    return kit.inst / (MASTERIDX + ".pending")


def owed_record(kit):
    return [line for line in pending(kit).read_text().splitlines() if line.startswith("Post=")]


def install_v1_publish_v2(kit, url):
    for name in V1:
        kit.module(name, V1[name], pre=f"mark pre {name}", post=f"mark post {name}")
    kit.publish()
    r = kit.run([url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == OLD
    for name in V2:
        kit.module(name, V2[name])
    kit.version = "2.0"
    kit.publish()
    kit.clear_markers()
    kit.url = url


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """One server with V2 published and one installation of V1 that each test copies."""
    kit = UpdateKit(tmp_path_factory.mktemp("template"))
    srv = servers.Nginx(kit.www).start()
    try:
        install_v1_publish_v2(kit, srv.url)
        kit.access_log = srv.access_log
        yield kit
    finally:
        srv.close()


@pytest.fixture
def updated(tmp_path, template):
    """A private copy of the V1 installation, against the template's V2 server."""
    kit = UpdateKit(tmp_path)
    shutil.rmtree(kit.inst)
    shutil.copytree(template.inst, kit.inst, symlinks=True)
    kit.modules = copy.deepcopy(template.modules)
    kit.www, kit.url, kit.access_log = template.www, template.url, template.access_log
    return kit


def access_log_requests(kit):
    with open(kit.access_log) as f:
        return f.read().splitlines()


def assert_converges(kit, check_log=None, new=NEW):
    """One more run installs the new version and cleans up; the next finds nothing."""
    r = kit.run([kit.url])
    assert r.returncode == 0, (r.stdout, kit.log_text())
    assert kit.installed_tree() == new
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not pending(kit).exists()
    # What a run leaves is only the installation: the temporary and backup directories
    # (with whatever the killed run left in them) go with the clean-up.
    assert not kit.tmp.exists()
    assert not kit.backup.exists()
    # Beside the kept index nothing either (no marker, no half-written copy).
    assert sorted(p.name for p in kit.kept_index().parent.iterdir()
                  if p.name not in KEPT_RECORDS) == ["master.idx", "master.idx.lock"]
    if check_log:
        check_log(kit.log_text())

    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    ev = kit.run_events()
    assert "LIB downloadNothingChanged()" in ev
    assert "GUI onCheckMainIdx(true)" not in ev
    assert kit.installed_tree() == new


# slot#N to kill at, and what the installation is right after the kill:
#   "old": untouched; "new": complete; "partial": the first file of "base" replaced only.
PHASES = [
    # Check: the kept index is already the new one (with its marker), the files are being
    # compared.
    ("check", "gui.onCheckFile#3", "old"),
    # Download: offered the second module file, the first has arrived (downloadFile #1
    # and #2 are the index and the product info).
    ("download", "lib.downloadFile#4", "old"),
    # Backup: one file of "base" backed up, the next not yet.
    ("backup", "gui.onBackupFile#2", "old"),
    # Install: the first file of "base" replaced, the second not: a module half installed.
    ("install", "gui.onInstallFile#2", "partial"),
    # Post: every module installed, no post command run yet.
    ("post", "gui.beforePost#1", "new"),
]


@pytest.mark.parametrize("kill, after", [p[1:] for p in PHASES], ids=[p[0] for p in PHASES])
def test_killed_run_converges_with_the_next_run(updated, kill, after):
    kit = updated
    r = kit.run([kit.url], env={"UPD_REC_KILL": kill})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    slot, _, nth = kill.partition("#")
    table, name = slot.split(".")
    calls = [e for e in kit.events() if e[0] == table.upper() and e[1] == name]
    assert len(calls) == int(nth or 1)
    assert kit.events()[-1] == calls[-1], "the plug-in went on after the kill"

    expected = {
        "old": OLD,
        "partial": {**OLD, "base/liba.so": V2["base"]["lib/liba.so"]},
        "new": NEW,
    }[after]
    assert kit.installed_tree() == expected
    # The kept copy is the new index already; its marker says the update is not done.
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert pending(kit).exists()

    if kill == "lib.downloadFile#4":
        # What a transfer cut by the kill leaves: the first half of the next file. The
        # complete first file is taken as it is, the cut one is fetched again.
        done = kit.tmp / "demo/files/base/lib/liba.so.gz"
        cut = kit.tmp / "demo/files/base/lib/libb.so.gz"
        assert done.read_bytes() == kit.server_file("base", "lib/liba.so").read_bytes()
        whole = kit.server_file("base", "lib/libb.so").read_bytes()
        cut.write_bytes(whole[:len(whole) // 2])

        def check_log(log):
            assert f'The file "{done}" is already downloaded' in log
            assert f'The downloaded file "{cut}" does not match and is downloaded again' in log
        assert_converges(kit, check_log)
    else:
        assert_converges(kit)


def test_run_killed_while_a_patch_is_applied_converges(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.url = nginx(kit.www).url
    # 1 MiB: the rebuilt file is written in blocks of 128 KiB.
    lib = bytes(range(256)) * 4096
    kit.module("core", {"lib/big.so": lib, "etc/app.conf": b"option = 1\n" * 500})
    kit.publish()
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    v2 = {"lib/big.so": lib[:9000] + b"v2" + lib[9000:], "etc/app.conf": b"option = 2\n" * 500}
    kit.module("core", v2)
    kit.publish(previous=[kit.www])
    # SIGKILL as the run writes the third block of the rebuilt file.
    rebuilt = kit.tmp / "demo/files/core/lib/big.so"
    r = kit.run([kit.url], prefix=["strace", "-f", "-qq", "-o", "/dev/null", "-P", str(rebuilt),
                                   "-e", "trace=write", "-e", "inject=write:signal=KILL:when=3"])
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert [a for _, n, a in kit.events() if n == "downloadFile" and ".patch" in a]
    assert 0 < rebuilt.stat().st_size < len(v2["lib/big.so"])
    assert v2["lib/big.so"].startswith(rebuilt.read_bytes())
    assert kit.installed("core", "lib/big.so") == lib
    assert_converges(kit, lambda log: "big.so." in log and ".patch" in log,
                     new={"core/big.so": v2["lib/big.so"], "core/app.conf": v2["etc/app.conf"]})


def test_run_killed_while_replacing_the_kept_index_converges(updated):
    kit = updated
    old_index = kit.kept_index().read_bytes()
    # Offered the copy of the fresh index over the kept one (the run's first copyFile): the
    # marker is on disk, the kept copy still the old one. A half-written new copy is what
    # a kill a moment later would leave beside it.
    r = kit.run([kit.url], env={"UPD_REC_KILL": "lib.copyFile#1"})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert kit.installed_tree() == OLD
    assert kit.kept_index().read_bytes() == old_index
    assert pending(kit).exists()
    (kit.kept_index().parent / "master.idx.new").write_bytes(b"product=De")
    assert_converges(kit)


def test_run_killed_during_its_rollback_converges(updated):
    kit = updated
    # "base" is installed, then its installation step fails: the rollback starts restoring
    # it and is killed before its first file is back.
    r = kit.run([kit.url], answers="gui.afterInstallModule=1",
                env={"UPD_REC_KILL": "gui.onModuleRestoreFile"})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert "LIB beforeRollback()" in kit.run_events()
    assert kit.installed_tree() == {**OLD, **flat({"base": V2["base"]})}
    assert pending(kit).exists()
    assert_converges(kit)


def test_backups_left_by_a_killed_run_are_never_restored(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("base", {"lib/liba.so": b"base a1\n"})
    kit.module("core", {"bin/tool": b"tool v1\n"})
    kit.publish()
    kit.url = nginx(kit.www).url
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    # The new version changes base's liba.so and adds a file of the same name to core.
    kit.module("base", {"lib/liba.so": b"base a2\n"})
    kit.module("core", {"bin/tool": b"tool v2\n", "lib/liba.so": b"core a2\n"})
    kit.publish()
    # Killed once "base" is installed: its backup of liba.so stays in the backup directory.
    r = kit.run([kit.url], env={"UPD_REC_KILL": "gui.afterInstallModule"})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert (kit.backup / "liba.so").read_bytes() == b"base a1\n"

    # The next run fails installing "core" and rolls it back: core's liba.so is new in this
    # version and has no backup; the leftover of the same name is not one.
    r = kit.run([kit.url], answers="gui.afterInstallModule=1")
    assert r.returncode == 255
    assert kit.installed_tree() == {"base/liba.so": b"base a2\n", "core/tool": b"tool v1\n",
                                    "core/liba.so": b"core a2\n"}
    assert not kit.backup.exists()

    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == {"base/liba.so": b"base a2\n", "core/tool": b"tool v2\n",
                                    "core/liba.so": b"core a2\n"}
    assert not kit.tmp.exists() and not kit.backup.exists()
    assert not pending(kit).exists()


# Kills the updater that started it, once (a kill from outside while a command runs), and
# waits (bounded) until it is gone, without holding the test's output pipes.
KILL_ONCE = """#!/bin/sh
flag="$(dirname "$0")/kill-armed"
[ -e "$flag" ] || exit 0
rm -f "$flag"
exec >/dev/null 2>&1
kill -9 $PPID
n=0
while kill -0 $PPID && [ $n -lt 500 ]; do sleep 0.01; n=$((n + 1)); done
"""


def test_run_killed_in_a_pre_command_converges(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.www.mkdir(exist_ok=True)
    install_v1_publish_v2(kit, nginx(kit.www).url)
    killer = kit.inst / "killer"
    killer.write_text(KILL_ONCE)
    killer.chmod(0o755)
    kit.modules[0]["pre"] = "killer"
    kit.publish()
    (kit.inst / "kill-armed").touch()
    r = kit.run([kit.url])
    assert r.returncode == -9, (r.returncode, kit.log_text())
    killer.unlink()
    kit.modules[0]["pre"] = "mark pre base"
    kit.publish()
    assert kit.installed_tree() == OLD
    assert_converges(kit, new={k: v for k, v in NEW.items() if k != "core/old.txt"})


def test_kill_hook_counts_calls_and_shell_hook_runs_before_the_answer(updated):
    kit = updated
    order = kit.base / "order.txt"
    r = kit.run([kit.url], env={
        "UPD_REC_KILL": "gui.onCheckFile#2",
        "UPD_REC_SHELL_gui_onCheckFile": f"echo check >> {order}",
        "UPD_REC_SHELL_onCheckMainIdx": f"echo index >> {order}",
    })
    assert r.returncode == -9
    # The shell ran for each call, the kill came after the second call's command.
    assert order.read_text().splitlines() == ["index", "check", "check"]
    assert [n for _, n, _ in kit.events()][-3:] == ["onCheckFile", "onCheckFileIsDirty",
                                                    "onCheckFile"]


def post_events(kit):
    return [e for e in kit.run_events() if e.split("(")[0].split()[1] in
            ("beforePost", "afterPost", "AfterUpdateModule")]


@pytest.mark.parametrize("kill, owed", [
    # Every module installed, no post command run yet: both are owed.
    ("gui.beforePost#1", ["post core", "post base"]),
    # The post command of "core" (the last module, run first) ran, that of "base" not.
    ("gui.beforePost#2", ["post base"]),
], ids=["none-run", "one-run"])
def test_post_commands_a_killed_run_owes_run_with_the_next_run(updated, kill, owed):
    kit = updated
    r = kit.run([kit.url], env={"UPD_REC_KILL": kill})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert kit.installed_tree() == NEW
    assert kit.markers() == ["pre base", "pre core"] + ["post core", "post base"][:2 - len(owed)]
    # The marker records them (installation order).
    assert owed_record(kit) == [f"Post={m.split()[-1]}" for m in owed[::-1]]
    kit.clear_markers()

    # Every file is in place: nothing is fetched or installed, but the owed post commands
    # run, in the post pass's order and with its callbacks.
    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.markers() == owed and "Demo 1.0 → 2.0" in kit.log_text()
    names = [m.split()[-1] for m in owed]
    assert post_events(kit) == [
        e for n in names for e in (f'GUI beforePost("{n}", "mark post {n}")',
                                   f'GUI afterPost("{n}", "mark post {n}")',
                                   f'GUI AfterUpdateModule("{n}")')], kit.run_events()
    ev = kit.names()
    assert "beforeInstallModule" not in ev and "beforePre" not in ev
    assert "downloadNothingChanged" not in ev
    assert kit.installed_tree() == NEW
    assert not pending(kit).exists()
    assert not kit.tmp.exists() and not kit.backup.exists()
    assert sorted(p.name for p in kit.kept_index().parent.iterdir()
                  if p.name not in KEPT_RECORDS) == ["master.idx", "master.idx.lock"]

    kit.clear_markers()
    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.markers() == []
    assert "LIB downloadNothingChanged()" in kit.run_events()
    assert kit.installed_tree() == NEW


def test_owed_post_command_that_is_gone_is_not_run(updated, nginx):
    kit = updated
    r = kit.run([kit.url], env={"UPD_REC_KILL": "gui.beforePost#1"})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    kit.clear_markers()
    # A server of its own, whose product info gives "core" no post command any more. The
    # files are the same, so nothing is to be fetched; only base's owed post command runs.
    kit.modules[1]["post"] = None
    kit.www = kit.base / "www2"
    kit.www.mkdir()
    kit.publish()
    kit.url = nginx(kit.www).url
    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.markers() == ["post base"]
    assert not pending(kit).exists()
    assert kit.installed_tree() == NEW


def test_post_commands_a_rollback_ran_are_not_owed(updated):
    kit = updated
    # "base" is installed, then the backup of "core" fails (a directory holds its backup
    # name): the rollback restores "base" and runs the post commands of both. The run did
    # not end well, so its marker stays, but owes nothing the rollback did.
    (kit.backup / "tool").mkdir(parents=True)
    (kit.backup / "tool" / "keep").write_bytes(b"x")
    r = kit.run([kit.url])
    assert r.returncode != 0, kit.log_text()
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    assert kit.installed_tree() == OLD
    assert owed_record(kit) == []
    # The backup directory existed before the run: what was in it is not the run's to delete.
    assert (kit.backup / "tool" / "keep").read_bytes() == b"x"
    shutil.rmtree(kit.backup / "tool")
    kit.clear_markers()

    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    assert kit.installed_tree() == NEW
    assert not pending(kit).exists()


# Started from a plug-in callback: waits (bounded) until the copy has written part of the
# file beside its target, then kills the updater (a power cut in the middle of a copy).
KILL_MID_COPY = ("(exec >/dev/null 2>&1; f='{f}'; n=0; "
                 "while [ ! -s \"$f\" ] && [ $n -lt 3000000 ]; do n=$((n + 1)); done; "
                 "kill -9 $PPID) &")

@pytest.fixture
def shm():
    """A directory on another file system than the test's (tmpfs)."""
    d = Path(tempfile.mkdtemp(dir="/dev/shm"))
    yield d
    shutil.rmtree(d, ignore_errors=True)


BIG1, BIG2 = b"big v1 " * (16 << 17), b"big v2 " * (16 << 17)  # 14 MiB each


@pytest.mark.parametrize("step, answers", [
    ("gui.onInstallFile", ""),
    # The installation step fails after the file is in place: the rollback restores it.
    ("gui.onModuleRestoreFile", "gui.afterInstallModule=1"),
], ids=["install", "restore"])
def test_kill_in_the_middle_of_a_copy_leaves_the_installed_file_whole(tmp_path, nginx, shm, step,
                                                                      answers):
    kit = UpdateKit(tmp_path)
    # Downloads on another file system than the installation are copied, not moved.
    kit.tmp = shm / "work"
    kit.module("big", {"big.bin": BIG1, "small": b"s1\n"})
    kit.publish()
    kit.url = nginx(kit.www).url
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    kit.module("big", {"big.bin": BIG2, "small": b"s2\n"})
    kit.publish()

    target = kit.inst / "big" / "big.bin"
    beside = target.parent / ".big.bin.upd-new"
    r = kit.run([kit.url], answers=answers,
                env={f"UPD_REC_SHELL_{step.replace('.', '_')}": KILL_MID_COPY.format(f=beside)})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert kit.names()[-2:] == [step.split(".")[1], "copyFile"]
    # Cut while the new content was written or flushed, before it took the target's
    # name (on a busy machine the kill may land in the flush): the target is still whole.
    assert 0 < beside.stat().st_size <= len(BIG1)
    assert target.read_bytes() == (BIG1 if step == "gui.onInstallFile" else BIG2)
    assert os.stat(target).st_mode & 0o777 == 0o755

    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == {"big/big.bin": BIG2, "big/small": b"s2\n"}
    assert not beside.exists()


# Killed while fetching, or in the post pass (the marker rewritten for the owed post
# commands must still name the directory).
@pytest.mark.parametrize("kill", ["lib.downloadFile#4", "gui.beforePost#1"])
def test_killed_runs_default_temporary_directory_is_reused_and_removed(updated, kill):
    kit = updated
    kit.tmp = None  # the default: a new directory per run, named after its process
    # One file at a time: nothing behind the fourth file is fetched ahead into the
    # installation's partial files before the kill.
    p = kit.start([kit.url], ["--parallel=1"], env={"UPD_REC_KILL": kill})
    assert p.wait(timeout=60) == -9, kit.log_text()
    (killed,) = glob.glob(f"/tmp/Update_*_{p.pid}_*")
    try:
        fetched = os.path.join(killed, "demo/files/base/lib/liba.so.gz")
        assert os.path.exists(fetched)
        assert f"TmpDir={killed}" in pending(kit).read_text().splitlines()
        requests = access_log_requests(kit)

        p = kit.start([kit.url])
        assert p.wait(timeout=60) == 0, kit.log_text()
        assert kit.installed_tree() == NEW
        assert not os.path.exists(killed) and "is left alone" not in kit.log_text()
        assert not glob.glob(f"/tmp/Update_*_{p.pid}_*")
        assert not pending(kit).exists()
        # The verified download of the killed run was taken, not fetched again.
        fresh = access_log_requests(kit)[len(requests):]
        assert not [line for line in fresh if "/base/lib/liba.so.gz" in line], fresh
        fetching = kill.startswith("lib.")  # else every file was in place already
        assert fetching == bool([line for line in fresh if "/base/lib/libb.so.gz" in line]), fresh
    finally:
        shutil.rmtree(killed, ignore_errors=True)



def test_killed_at_its_very_end_a_run_leaves_its_directories_to_the_next(updated, tmp_path):
    # Its default temporary directory is named after its process: only the marker, which
    # goes last, lets the next run find and remove it.
    kit, scratch = updated, tmp_path / "scratch"
    kit.tmp = None
    scratch.mkdir()
    r = kit.run([kit.url], env={"UPD_REC_KILL": "gui.onUpdateFinish", "TMPDIR": str(scratch)})
    assert r.returncode == -9 and kit.installed_tree() == NEW
    assert kit.run([kit.url], env={"TMPDIR": str(scratch)}).returncode == 0, kit.log_text()
    assert list(scratch.iterdir()) == [] and not pending(kit).exists()


def test_a_file_a_killed_run_added_goes_when_a_later_release_drops_it(updated, nginx, tmp_path):
    # The killed run wrote no records of installed files; the file it added is still the
    # updater's, unlike one an administrator changed since.
    kit = updated
    r = kit.run([kit.url], env={"UPD_REC_KILL": "gui.beforePost#1"})
    assert r.returncode == -9 and kit.installed("core", "new.txt") == b"new in v2\n"
    kit.module("core", {n: d for n, d in V2["core"].items() if n != "new.txt"})
    srv = nginx(kit.publish(www=tmp_path / "v3"))
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    assert kit.installed("core", "new.txt") is None and "(1 file removed)" in kit.log_text()
