"""Plug-in calls: a failing one stays named; connection callbacks; the version sent."""

import os
import shutil
import subprocess

from test_fault_server import log_lines_since, merged_events
from updatekit import RUN_EVENTS, UPDATER, UPDATEROOT, UpdateKit, tree, two_module_kit


def test_failing_call_named_and_connection_callbacks(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url], throw="afterBackup=std").returncode == 255
    assert "In the GUI plug-in call afterBackup(i->name)" in kit.log_text(), kit.log_text()
    assert "LIB afterRollback()" in kit.run_events()  # the clean-up made calls of its own
    # A plug-in's exception without a text is named by its call, not "The update failed: ".
    for slot, line in (("afterBackup", b"The update failed: In the GUI plug-in call afterBackup("
                                       b"i->name)"),
                       ("onUpdateStart", b"In the GUI plug-in call onUpdateStart()")):
        r = kit.run([srv.url], throw=f"gui.{slot}=empty")
        assert line + b": the plug-in stopped the run and gave no reason" in r.stdout, r.stdout
    assert kit.run(["http://127.0.0.1:9", srv.url], ["--IgnoreMasterIDX=1"]).returncode == 0
    assert "connectServer" not in kit.names()
    version = subprocess.run([UPDATER, "--version"], capture_output=True, text=True).stdout
    assert [a for _, n, a in kit.events() if n == "notifyVersionInfo"] == \
        ['"%s"' % version.split(": ")[1].strip()] * 2

    default = srv.url.replace("127.0.0.1", "localhost") + "/"  # not the download server's name
    kit.description = (lambda text=kit.description: text().replace(
        "[module]", f"[productfile]\nPATH = demo/product.txt\nSERVERS = {srv.url}/\n\n[module]", 1))
    kit.set_file("core", "README", b"v2")
    kit.publish()
    kit.events_file.unlink()
    args = [a for a in kit.args([], [f"--defaultsrv={default}", "--productfile=demo/product.txt"])
            if not a.startswith(("--productroot=", "--productinfofile="))]
    assert subprocess.run([kit.bin / "updater"] + args, env=kit.env(), timeout=60).returncode == 0
    assert [f"{n}({a})" for _, n, a in kit.events() if "connectServer" in n] == \
        [f'connectServer("{default}", "", "")', f'disconnectServer("{default}")']


def test_plugin_fetching_every_second_file_and_tidy_taking_every_changed_file(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("m", {f"f{i}.bin": os.urandom(3000 + i) for i in range(6)})
    kit.publish()
    srv = nginx(kit.www)
    fetch = {"UPD_REC_FETCH": f"{srv.url}/{UPDATEROOT}/|{kit.www / UPDATEROOT}"}
    seen = {}
    for extra in ([], ["--parallel=1"], ["--parallel=4"]):
        shutil.rmtree(kit.inst / "m", ignore_errors=True)
        kit.kept_index().unlink(missing_ok=True)
        at = os.path.getsize(srv.access_log) if os.path.exists(srv.access_log) else 0
        assert kit.run([srv.url], extra, env=fetch).returncode == 0, kit.log_text()
        assert len(tree(kit.inst / "m")) == 6
        seen[str(extra)] = merged_events(kit)
        taken = [a.split('"')[1] for _, n, a, _ in seen[str(extra)] if n == "downloadFile"
                 and f"/{UPDATEROOT}/" in a][1::2]
        requested = log_lines_since(srv, at)
        assert len(taken) == 3
        assert not [u for u in taken for ln in requested if u[len(srv.url):] in ln]
    assert seen["[]"] == seen["['--parallel=1']"]

    kit.set_file("m", "f0.bin", b"new")
    kit.publish()
    assert kit.run([srv.url], env={"UPD_REC_SET_setTidy": "m="}).returncode == 0
    names = kit.names(RUN_EVENTS)
    assert names[names.index("setTidy"):] == [
        "setTidy", "onCheckFilesDone", "afterDownloadFiles", "notifyModuleFileList",
        "notifyModuleFileList", "notifyModuleFileListDone", "notifyModuleFileListDone",
        "globalPre", "overrideInstall", "globalPost", "onUpdateFinish"]
    assert kit.installed("m", "f0.bin") != b"new"
