"""What the plug-ins hear and how their failures are reported, end to end: a callback that
throws a foreign exception is named in the failure report however many calls the clean-up
makes; connectServer/disconnectServer go out only for the server actually connected (the
default server of default-server mode, none in URL mode); notifyVersionInfo carries the
updater's own version."""

import subprocess

from run_available import requires_update_run
from updatekit import UPDATER, two_module_kit

pytestmark = requires_update_run


def connection_events(kit):
    return [f"{n}({a})" for _, n, a in kit.events() if n in ("connectServer", "disconnectServer")]


def test_failing_call_named_and_connection_callbacks(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = kit.run([srv.url], throw="afterBackup=std")
    assert r.returncode == 255
    log = kit.log_text()
    assert "In the GUI plug-in call afterBackup(i->name)" in log, log
    assert "Unexpected internal error" not in log
    assert "LIB afterRollback()" in kit.run_events()  # the clean-up made calls of its own

    # URL mode, the first server dead: no connectServer on any attempt.
    r = kit.run(["http://127.0.0.1:9", srv.url], ["--IgnoreMasterIDX=1"])
    assert r.returncode == 0, kit.log_text()
    assert [e for e in connection_events(kit) if e.startswith("connectServer")] == []
    version = subprocess.run([str(UPDATER), "--version"], capture_output=True, text=True,
                             timeout=30).stdout.split(":")[1].strip()
    assert [a for t, n, a in kit.events() if n == "notifyVersionInfo"] == [f'"{version}"'] * 2

    # Default-server mode: the default server is connected and disconnected, by name.
    # Named differently from the download server, so the two cannot be mistaken.
    default = srv.url.replace("127.0.0.1", "localhost") + "/"
    kit.description = (lambda text=kit.description: text().replace(
        "[module]", f"[productfile]\nPATH = demo/product.txt\nSERVERS = {srv.url}/\n\n[module]",
        1))
    kit.set_file("core", "README", b"read me v2\n")
    kit.publish()
    args = [a for a in kit.args([], [f"--defaultsrv={default}", "--productfile=demo/product.txt"])
            if not a.startswith(("--productroot=", "--productinfofile="))]
    kit.events_file.unlink()
    r = subprocess.run([str(kit.bin / "updater")] + args, env=kit.env(), cwd=kit.base,
                       capture_output=True, timeout=60)
    assert r.returncode == 0, kit.log_text()
    assert connection_events(kit) == [f'connectServer("{default}", "", "")',
                                      f'disconnectServer("{default}")'], kit.events()
