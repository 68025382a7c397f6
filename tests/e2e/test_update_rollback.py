"""Failures inside the pre, backup, install and post passes: each runs exactly the rollback
steps of its phase (seen through the recording plug-in and the markers the module commands
write), leaves the installation as it was and ends with the failure. A GUI answer of 1 in
a phase fails the run with 611; the same answer in an error handler changes nothing.
A SIGINT during a slow download stops the run with exit status 255; a SIGTERM aborts the
transfer in progress; a SIGHUP in the install or post pass rolls every module back whole."""

import os
import re
import time

import pytest

from updatekit import UpdateKit, interrupt, wait_for

V1 = {"base": {"lib/liba.so": b"a1" * 500, "lib/libb.so": b"b1" * 50},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v1\n", "README": b"read me v1\n"}}
V2 = {"base": {"lib/liba.so": b"a2" * 500, "lib/libb.so": b"b2" * 50},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v2\n", "README": b"read me v2\n"}}


@pytest.fixture
def updated(tmp_path, nginx):
    """v1 installed, v2 published: every file of both modules changed."""
    kit = UpdateKit(tmp_path)
    for name in ("base", "core"):
        kit.module(name, V1[name], pre=f"mark pre {name}", post=f"mark post {name}",
                   unpost=f"mark unpost {name}")
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    for name in ("base", "core"):
        kit.module(name, V2[name])
    kit.publish()
    kit.clear_markers()
    kit.before = kit.installed_tree()
    kit.url = srv.url
    return kit


def rollback_steps(kit):
    """(step number, module) of every overrideRollback offered, in order."""
    out = []
    for _, name, args in kit.events():
        if name == "overrideRollback":
            m = re.match(r'(\d+), "([^"]*)"', args)
            out.append((int(m.group(1)), m.group(2)))
    return out


PRE, POST, UNPOST, RESTORE = 0, 1, 2, 3


@pytest.mark.parametrize("slot, markers, steps", [
    # A pre command's module fails: the post commands of the modules so far undo it.
    ("afterPre", ["pre base", "post base"], [(POST, "base")]),
    # The backup of the first module fails after every pre command ran: every post runs.
    ("afterBackup", ["pre base", "pre core", "post core", "post base"],
     [(POST, "core"), (POST, "base")]),
    # The first module is installed, then its installation step fails: it is restored and
    # every module's post command runs.
    ("afterInstallModule", ["pre base", "pre core", "post core", "post base"],
     [(RESTORE, "base"), (POST, "core"), (POST, "base")]),
    # The post pass runs backwards: the last module's post fails. Unpost down to the first
    # module, pre up to the failing one, restore all, post all backwards.
    ("afterPost",
     ["pre base", "pre core", "post core", "unpost core", "unpost base", "pre base",
      "pre core", "post core", "post base"],
     [(UNPOST, "core"), (UNPOST, "base"), (PRE, "base"), (PRE, "core"), (RESTORE, "base"),
      (RESTORE, "core"), (POST, "core"), (POST, "base")]),
])
def test_failure_in_a_pass_rolls_back_its_phase(updated, slot, markers, steps):
    kit = updated
    r = kit.run([kit.url], answers=f"gui.{slot}=1")
    assert r.returncode == 255
    assert kit.markers() == markers
    assert rollback_steps(kit) == steps
    assert kit.installed_tree() == kit.before
    ev = kit.run_events()
    assert "LIB notifyUpdateCriticalError(611)" in ev
    assert ev.index("LIB beforeRollback()") < ev.index("LIB afterRollback()")
    assert ev[-3:] == ["LIB notifyUpdateCriticalError(611)",
                       ev[-2], "GUI onUpdateFinish()"]
    assert ev[-2].startswith("GUI onUpdateCriticalError(")
    # The kept index is gone: the next run does not take the update for done.
    assert not kit.kept_index().exists()
    assert not kit.tmp.exists() and not kit.backup.exists()

    # The next run without the failure completes the update.
    kit.clear_markers()
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["core"]["bin/tool"]


def test_plugin_taking_a_rollback_step_over(updated):
    kit = updated
    r = kit.run([kit.url], answers="gui.afterInstallModule=1,lib.overrideRollback=0")
    assert r.returncode == 255
    # The plug-in did the restore and the post commands: the updater did none of them.
    assert kit.markers() == ["pre base", "pre core"]
    assert kit.installed("base", "lib/liba.so") == V2["base"]["lib/liba.so"]


def test_gui_answer_of_1_in_a_handler_is_ignored(updated, nginx, tmp_path):
    kit = updated
    # A critical failure whose handler notification answers 1: the run still ends with the
    # failure's own report.
    r = kit.run([kit.url], answers="gui.afterPre=1,gui.onUpdateCriticalError=1")
    assert r.returncode == 255
    assert kit.run_events()[-1] == "GUI onUpdateFinish()"
    assert "LIB notifyUpdateCriticalError(611)" in kit.run_events()

    # A server failure whose handler notification answers 1: the next server is tried and
    # the update completes.
    (tmp_path / "empty").mkdir()
    dead = nginx(tmp_path / "empty")
    kit.clear_markers()
    r = kit.run([dead.url, dead.url + "/unavailable/", kit.url],
                answers="gui.onUpdateNonCriticalError=1")
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["core"]["bin/tool"]


def test_plugin_exception_ends_with_639(updated):
    kit = updated
    r = kit.run([kit.url], throw="gui.afterInstallModule")
    assert r.returncode == 255
    assert "LIB notifyUpdateCriticalError(639)" in kit.run_events()
    assert kit.installed_tree() == kit.before


def test_sigint_during_a_slow_download_stops_the_run(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("big", {f"part{i}.bin": os.urandom(12000) for i in range(4)},
               pre="mark pre big", post="mark post big")
    kit.publish()
    srv = nginx(kit.www)
    p = kit.start([srv.url + "/slow/"])
    try:
        # The first module file is on its way: the plug-in hears its blocks.
        assert wait_for(lambda: any(n == "onDownloadFile" and "part" in a
                                    for _, n, a in kit.events()), timeout=30)
        interrupt(p)
        started = time.monotonic()
        assert p.wait(timeout=30) == 255
        # The run stops after the file in transfer, not after all of them.
        assert time.monotonic() - started < 10
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert kit.installed_tree() == {}
    assert kit.markers() == []
    assert "LIB notifyUpdateCriticalError(-1)" in kit.run_events()
    assert not kit.tmp.exists()



def test_sigterm_aborts_the_transfer_in_progress(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("big", {"big.bin": os.urandom(1 << 20)})  # minutes at the slow location
    kit.publish()
    srv = nginx(kit.www)
    p = kit.start([srv.url + "/slow/"])
    assert wait_for(lambda: "onDownloadFile" in kit.names(), timeout=30)
    p.terminate()
    assert p.wait(timeout=30) == 255  # the run is over long before the file could be
    assert "SIGTERM received: the run is stopped" in kit.log_text()
    assert kit.installed_tree() == {} and not kit.tmp.exists()


@pytest.mark.parametrize("slot, nth, markers", [
    # Between the two files of "base": the module goes back whole, every post command runs.
    ("gui_onInstallFile", 2, ["pre base", "pre core", "post core", "post base"]),
    # After the post command of "core": the post pass's rollback, unpost first.
    ("gui_afterPost", 1, ["pre base", "pre core", "post core", "unpost base", "pre base",
                          "post core", "post base"]),
    # During the last post command: the whole release goes back.
    ("gui_afterPost", 2, ["pre base", "pre core", "post core", "post base", "unpost core",
                          "unpost base", "pre base", "pre core", "post core", "post base"]),
])
def test_sighup_stops_the_run_at_the_next_whole_module(updated, slot, nth, markers):
    kit = updated
    count = kit.base / "calls.txt"
    # Sent once by the shell the plug-in starts (its parent is the updater): a second
    # SIGHUP would end the updater at once.
    hook = f'echo x >> {count}; [ "$(wc -l < {count})" -ne {nth} ] || kill -HUP $PPID'
    r = kit.run([kit.url], env={f"UPD_REC_SHELL_{slot}": hook})
    assert r.returncode == 255, kit.log_text()
    assert "SIGHUP received: the run is stopped" in kit.log_text()
    assert 'The post command of module "base" failed' not in kit.log_text()  # none did
    assert kit.markers() == markers
    assert kit.installed_tree() == kit.before
