"""The installation's life across publications: permission bits from the product (also
through a rollback), configuration files edited here kept (the product's new copy written
beside), files the product dropped removed (restored by a rollback, an administrator's own
file untouched), and a tree with these additions taken out still installing."""

import os
import pwd
import re
import stat
import subprocess

from updatekit import UpdateKit, info_text, write_info

CONF = b"listen 80\n"


def mode(kit, module, name):
    return stat.S_IMODE(os.stat(kit.inst / module / name).st_mode)


NOBODY = pwd.getpwnam("nobody").pw_uid


def test_modes_config_files_and_dropped_files(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    m = kit.module("app", {"bin/run": b"run v1\n", "secret": b"s1\n", "doc": b"d1\n",
                           "app.conf": CONF, "keep.conf": CONF, "old": b"old\n"},
                   post="mark post app")
    m["modes"] = {"bin/run": 0o755, "secret": 0o600, "doc": 0o644}
    m["config"] = ("app.conf", "keep.conf")
    kit.module("spool", {"seed": b"s\n"})
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    (kit.inst / "spool").chmod(0o1777)  # a directory the administrator opened to all
    for path in (kit.inst / "app", kit.inst / "app" / "doc"):  # a service user's
        os.chown(path, NOBODY, -1)
    assert [mode(kit, "app", n) for n in ("run", "secret", "doc")] == [0o755, 0o600, 0o644]
    installed = kit.kept_index().with_name("master.idx.installed").read_text().splitlines()
    assert installed[0] == "# updater installed files 1" and f"app\t{kit.inst}/app/old" in installed

    digests = kit.kept_index().with_name("master.idx.config")
    v1_digests = digests.read_bytes()
    # An administrator edits both configuration files and adds a file of their own.
    (kit.inst / "app" / "app.conf").write_bytes(b"listen 8080\n")
    (kit.inst / "app" / "keep.conf").write_bytes(b"mine\n")
    os.chmod(kit.inst / "app" / "keep.conf", 0o640)
    (kit.inst / "app" / "local").write_bytes(b"admin\n")
    # v2: modes change with the content, app.conf changes, keep.conf does not, old is dropped.
    kit.module("app", {"bin/run": b"run v2\n", "secret": b"s2\n", "doc": b"d2\n",
                       "app.conf": b"listen 81\n", "keep.conf": CONF})
    m["modes"] = {"bin/run": 0o700, "secret": 0o640, "doc": 0o600}
    kit.modules = [module for module in kit.modules if module["name"] != "spool"]
    kit.publish()

    # A failing post command rolls everything back: bits, content and the dropped file.
    r = kit.run([srv.url], answers="gui.afterPost=1")
    assert r.returncode == 255
    assert [mode(kit, "app", n) for n in ("run", "secret", "doc")] == [0o755, 0o600, 0o644]
    assert kit.installed("app", "old") == b"old\n" and kit.installed("app", "doc") == b"d1\n"
    assert kit.installed("app", "app.conf") == b"listen 8080\n"

    kit.clear_markers()
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    log = kit.log_text()
    assert [mode(kit, "app", n) for n in ("run", "secret", "doc")] == [0o700, 0o640, 0o600]
    assert (kit.inst / "app" / "doc").stat().st_uid == NOBODY
    assert kit.installed("app", "old") is None and kit.installed("app", "local") == b"admin\n"
    assert re.search(r"\(2 files removed\)", log), log
    # Emptied, the administrator's open directory stays as it was.
    assert (kit.inst / "spool").stat().st_mode & 0o7777 == 0o1777
    # Edited here: both kept; the changed product copy is written beside, the other not fetched.
    assert kit.installed("app", "app.conf") == b"listen 8080\n"
    assert kit.installed("app", "app.conf.upd-new-dist") == b"listen 81\n"
    assert kit.installed("app", "keep.conf") == b"mine\n" and mode(kit, "app", "keep.conf") == 0o640
    assert not (kit.inst / "app" / "keep.conf.upd-new-dist").exists()
    # The rolled-back run wrote that copy already; this one took it as it was.
    assert "app.conf\" is the new one already" in log
    with open(srv.access_log) as log_file:
        fetched = log_file.read()
    assert "app.conf.gz" in fetched and "keep.conf.gz" not in fetched.split("master.idx")[-1]
    # Stopped before it recorded the digests (only a run that ends well does), a run leaves
    # the product's copy beside the edited file: the next one does not take the module for
    # changed again, nor run its post command once more.
    v2_digests = digests.read_bytes()
    digests.write_bytes(v1_digests)
    kit.clear_markers()
    assert kit.run([srv.url], extra=["--IgnoreMasterIDX=1"]).returncode == 0
    assert kit.markers() == [] and digests.read_bytes() == v2_digests

    # The installation named otherwise on a later run (through a link, relative to the
    # working directory): nothing is taken for dropped, and the edited file is still known
    # as edited.
    relative = [str(kit.bin / "updater")] + [
        a.replace(f"--install-path={kit.inst}", f"--install-path={kit.inst.parent.name}/inst")
        for a in kit.args([srv.url], plugins=False)]
    # A release installed through a relative spelling removes nothing it installs.
    kit.module("app", {"bin/run": b"run v2\n", "secret": b"s2\n", "doc": b"d3\n",
                       "app.conf": b"listen 81\n", "keep.conf": CONF})
    kit.publish()
    assert subprocess.run(relative, capture_output=True, timeout=60,
                          cwd=kit.inst.parent.parent).returncode == 0
    assert kit.installed("app", "doc") == b"d3\n" and "removed" not in kit.log_text()
    before = kit.installed_tree()
    (tmp_path / "inst-link").symlink_to(kit.inst)
    for spelled, cwd in ((f"{kit.inst}/", None), (f"{kit.inst.parent}//./{kit.inst.name}", None),
                         (tmp_path / "inst-link", None), (kit.inst.name, kit.inst.parent)):
        argv = [str(kit.bin / "updater"), "--IgnoreMasterIDX=1"] + [
            a.replace(f"--install-path={kit.inst}", f"--install-path={spelled}")
            for a in kit.args([srv.url], plugins=False)]
        assert subprocess.run(argv, capture_output=True, timeout=60, cwd=cwd).returncode == 0
        assert kit.installed_tree() == before and "removed" not in kit.log_text(), spelled


def test_tree_without_the_additions_still_installs(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    m = kit.module("app", {"secret": b"s1\n", "app.conf": CONF})
    m["modes"], m["config"] = {"secret": 0o600}, ("app.conf",)
    kit.publish()
    text = info_text(kit)
    text = re.sub(r'<FILE [^>]*>', "<FILE>", text).replace('<DROPPED value="remove"/>\n', "")
    write_info(kit, text)
    assert kit.run([nginx(kit.www).url]).returncode == 0, kit.log_text()
    assert mode(kit, "app", "secret") == 0o755 and kit.installed("app", "app.conf") == CONF
    assert not kit.kept_index().with_name("master.idx.installed").exists()
