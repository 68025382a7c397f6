"""Plug-in calls: a failing one stays named; connection callbacks; the version sent."""

import subprocess

from updatekit import UPDATER, two_module_kit


def test_failing_call_named_and_connection_callbacks(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url], throw="afterBackup=std").returncode == 255
    assert "In the GUI plug-in call afterBackup(i->name)" in kit.log_text(), kit.log_text()
    assert "LIB afterRollback()" in kit.run_events()  # the clean-up made calls of its own
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
