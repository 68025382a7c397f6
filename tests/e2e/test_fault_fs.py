"""Local file system faults during an update: an installed file that cannot be written, an
installation directory where nothing can be created or renamed, and a temporary or backup
directory on a full file system.

After each fault the installation is what it was before the run (or, where the updater can
work around the fault, the new version), nothing is half-installed, the error names the
file and the system's reason, and once the fault is gone one more run against the same
server installs the new version and leaves no temporary or backup directory behind.

Permission bits do not stop root, so when the tests run as root the updater runs as the
unprivileged user "nobody" (setpriv) on a kit owned by that user. A full file system is a
preloaded library (build/tests/libenospc.so) that makes writes below one directory fail
with ENOSPC once a byte budget is used up."""

import grp
import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from updatekit import (BUILD, MARK_SCRIPT, MASTERIDX, RECORDING, RUN_TIMEOUT, UPDATEROOT,
                       UpdateKit, md5, tree)

ENOSPC_SHIM = BUILD / "tests" / "libenospc.so"
ROOT = os.geteuid() == 0
RUN_AS = "nobody"

# The big library does not compress (its .gz is as big as itself); the text does, to 1/50.
V1 = {"base": {"lib/liba.so": os.urandom(6000), "lib/libb.so": b"b1" * 3000},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v1\n", "README": b"read me v1\n"}}
V2 = {"base": {"lib/liba.so": os.urandom(6000), "lib/libb.so": b"b2" * 3000},
      "core": {"bin/tool": b"#!/bin/sh\necho tool v2\n", "README": b"read me v2\n"}}


def unprivileged():
    """The command prefix that runs the updater without root's right to ignore modes."""
    if not ROOT:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root without setpriv (util-linux)")
    group = grp.getgrgid(pwd.getpwnam(RUN_AS).pw_gid).gr_name
    return [setpriv, f"--reuid={RUN_AS}", f"--regid={group}", "--clear-groups"]


def give_to_runner(path):
    """Makes the runner own everything below path (as root; a no-op otherwise)."""
    if not ROOT:
        return
    user = pwd.getpwnam(RUN_AS)
    os.lchown(path, user.pw_uid, user.pw_gid)
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(top, name), user.pw_uid, user.pw_gid)


@pytest.fixture
def base(tmp_path):
    """The kit's directory. pytest's own directory is private to root, so as root the kit
    lives in a directory of its own that the runner can reach."""
    if not ROOT:
        yield tmp_path
        return
    d = Path(tempfile.mkdtemp(prefix="updater-fsfault-", dir="/tmp"))
    try:
        yield d
    finally:
        # Unwritable directories first get their write bit back, so removal cannot fail.
        for top, dirs, _ in os.walk(d):
            for name in dirs:
                p = os.path.join(top, name)
                os.chmod(p, os.stat(p).st_mode | stat.S_IWUSR | stat.S_IXUSR)
        shutil.rmtree(d, ignore_errors=True)


def run(kit, env=None):
    """One updater run against the kit's server as the unprivileged runner."""
    # The runner may not reach the build tree (it can lie below root's home): the kit
    # carries its own copies of the libraries that the updater loads.
    plugin = kit.bin / RECORDING.name
    if not plugin.exists():
        shutil.copy2(RECORDING, plugin)
        shutil.copy2(ENOSPC_SHIM, kit.bin / ENOSPC_SHIM.name)
    give_to_runner(kit.base)
    kit.events_file.unlink(missing_ok=True)
    e = kit.env()
    e.update(env or {})
    args = kit.args([kit.url], plugins=False) + [f"--updatelib={plugin}", f"--guilib={plugin}"]
    return subprocess.run(unprivileged() + [str(kit.bin / "updater")] + args,
                          cwd=kit.base, capture_output=True, timeout=RUN_TIMEOUT, env=e,
                          stdin=subprocess.DEVNULL)


def full_disk(kit, directory, budget):
    """The environment that gives `directory` only `budget` more bytes."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    # A sanitizer runtime wants to be loaded first; the library is loaded before it.
    asan = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    return {"LD_PRELOAD": str(kit.bin / ENOSPC_SHIM.name), "ENOSPC_DIR": str(directory),
            "ENOSPC_AFTER": str(budget), "ASAN_OPTIONS": asan}


def all_events(kit):
    return [f"{t} {n}({a})" for t, n, a in kit.events()]


def output(r, kit):
    return r.stdout.decode("utf-8", "replace") + kit.log_text()


@pytest.fixture
def updated(base, nginx):
    """v1 installed by the runner, v2 published: every file of both modules changed."""
    kit = UpdateKit(base)
    for name in ("base", "core"):
        kit.module(name, V1[name], pre=f"mark pre {name}", post=f"mark post {name}")
    kit.publish()
    kit.url = nginx(kit.www).url
    r = run(kit)
    assert r.returncode == 0, output(r, kit)
    kit.old = kit.installed_tree()
    for name in ("base", "core"):
        kit.module(name, V2[name])
    kit.publish()
    kit.new = {f"{m}/{os.path.basename(p)}": data for m in V2 for p, data in V2[m].items()}
    kit.clear_markers()
    return kit


def assert_failed_and_rolled_back(kit, r, *texts):
    """The run failed, said why and left the old installation and no work files."""
    text = output(r, kit)
    assert r.returncode == 255, text
    for t in texts:
        assert t in text, (t, text)
    assert kit.installed_tree() == kit.old
    assert not kit.tmp.exists() and not kit.backup.exists()
    assert not kit.kept_index().exists()  # the next run does not take the update for done


def assert_converges(kit, new=None):
    """One more run without the fault installs the new version and leaves no work files."""
    kit.clear_markers()
    r = run(kit)
    assert r.returncode == 0, output(r, kit)
    assert kit.installed_tree() == (new or kit.new)
    assert not kit.tmp.exists() and not kit.backup.exists()
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not (kit.inst / (MASTERIDX + ".pending")).exists()
    assert "LIB notifyUpdateCriticalError" not in "\n".join(kit.run_events())


# ---- files and directories that cannot be written ------------------------------------------

def test_read_only_file_in_a_writable_directory_is_replaced_beside_itself(updated):
    kit = updated
    tool = kit.inst / "core" / "tool"
    tool.chmod(0o444)
    r = run(kit)
    assert r.returncode == 0, output(r, kit)
    # The file that cannot be opened for writing is moved aside to "tool.tmp" and the new
    # one written in its place; the plug-in hears of it, and the moved file goes with the
    # run's clean-up.
    assert kit.installed_tree() == kit.new
    assert stat.S_IMODE(tool.stat().st_mode) == 0o755
    assert f'LIB copyFileNeedRestart("{tool}")' in all_events(kit)
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_read_only_file_in_a_read_only_directory_fails_and_rolls_back(updated):
    kit = updated
    core = kit.inst / "core"
    (core / "tool").chmod(0o444)
    core.chmod(0o555)
    r = run(kit)
    # base is installed, then core's first file cannot be replaced: both are restored and
    # the post commands undo the pre commands.
    assert_failed_and_rolled_back(kit, r, f'Cannot create the target file "{core}/tool": '
                                          "Permission denied")
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    assert "LIB beforeRollback()" in kit.run_events()

    core.chmod(0o755)
    (core / "tool").chmod(0o755)
    assert_converges(kit)


def test_new_file_in_a_read_only_directory_fails_and_rolls_back(updated):
    kit = updated
    # core gains a file; its directory takes no new files, though the existing ones stay
    # writable and are replaced first.
    kit.set_file("core", "doc/NEWS", b"news in v2\n")
    kit.publish()
    core = kit.inst / "core"
    core.chmod(0o555)
    r = run(kit)
    assert_failed_and_rolled_back(kit, r, f'Cannot create the target file "{core}/NEWS": '
                                          "Permission denied")

    core.chmod(0o755)
    assert_converges(kit, {**kit.new, "core/NEWS": b"news in v2\n"})


def test_rollback_takes_back_a_file_replaced_beside_itself(updated):
    kit = updated
    # base's small library is read-only: it is moved aside and replaced. Then core cannot
    # take its new file, and the rollback restores base: the old library is back in place
    # and its moved-aside copy is not left behind.
    (kit.inst / "base" / "libb.so").chmod(0o444)
    kit.set_file("core", "doc/NEWS", b"news in v2\n")
    kit.publish()
    core = kit.inst / "core"
    core.chmod(0o555)
    r = run(kit)
    assert_failed_and_rolled_back(kit, r, f'Cannot create the target file "{core}/NEWS": '
                                          "Permission denied")
    assert f'LIB copyFileNeedRestart("{kit.inst}/base/libb.so")' in all_events(kit)

    core.chmod(0o755)
    assert_converges(kit, {**kit.new, "core/NEWS": b"news in v2\n"})


def test_new_module_in_a_read_only_installation_directory_fails_and_rolls_back(updated):
    kit = updated
    kit.module("extra", {"bin/extra": b"extra v2\n"}, pre="mark pre extra",
               post="mark post extra")
    kit.publish()
    # The installation directory itself takes no new directory; the kept master index and
    # the marker file live in places that stay writable.
    (kit.inst / "markers.txt").touch()
    kit.inst.chmod(0o555)
    r = run(kit)
    assert_failed_and_rolled_back(
        kit, r, f'Cannot create the directory "{kit.inst}/extra": Permission denied')
    assert not (kit.inst / "extra").exists()

    kit.inst.chmod(0o755)
    assert_converges(kit, {**kit.new, "extra/extra": b"extra v2\n"})
    # An installation directory that cannot be made: the reason, in the log too.
    (kit.base / "afile").touch()
    kit.inst = kit.base / "afile" / "inst"
    assert run(kit).returncode == 255
    assert re.search(r'"[^"]*/afile/inst/?": Not a directory', kit.log_text()), kit.log_text()


# ---- a full file system ----------------------------------------------------------------------

def partial_name(kit, path):
    """The name of the partial file a transfer of the module file `path` writes."""
    data = (kit.www / UPDATEROOT / (path + ".gz")).read_bytes()
    return f"{md5(data)}-{len(data)}.part"


def server_size(kit, name):
    return (kit.www / name).stat().st_size


# Where the temporary directory fills up: (directory that is full, its free bytes, the file
# named in the error). Files are written in this order: master index, product info file
# (compressed, then unpacked beside it), then per module file its .gz and the unpacked file.
TEMPORARY_CASES = {
    # Nothing fits: the master index cannot be fetched.
    "master index": (lambda kit: (kit.tmp, 0), "demo/master.idx"),
    # The product info file arrives but cannot be unpacked.
    "product info": (lambda kit: (kit.tmp, server_size(kit, "demo/master.idx") +
                                  server_size(kit, "demo/demo.info.gz") + 100),
                     "demo/demo.info"),
    # Transfers write to the installation's resume directory, which takes 1000 bytes: the big
    # library's .gz does not fit into its partial file.
    "download": (lambda kit: (kit.inst / (MASTERIDX + ".partial"), 1000),
                 lambda kit: kit.inst / (MASTERIDX + ".partial") /
                 partial_name(kit, "base/lib/liba.so")),
    # Its .gz arrives (renamed from the partial) but the unpacked copy does not fit.
    "decompression": (lambda kit: (kit.tmp / UPDATEROOT, 1000), f"{UPDATEROOT}/base/lib/liba.so"),
}


@pytest.mark.parametrize("case", TEMPORARY_CASES)
def test_full_temporary_directory(updated, case):
    kit = updated
    where, named = TEMPORARY_CASES[case]
    directory, budget = where(kit)
    named = named(kit) if callable(named) else named
    r = run(kit, full_disk(kit, directory, budget))
    # Nothing was installed and no module command ran.
    assert_failed_and_rolled_back(kit, r, f'"{kit.tmp / named}": No space left on device')
    assert kit.markers() == []
    if case == "decompression":  # a file that cannot be decompressed: 625, as any
        assert "LIB notifyUpdateCriticalError(625)" in kit.run_events()
    assert_converges(kit)


def test_full_backup_directory(updated):
    kit = updated
    # The first backup copy (6000 bytes) does not fit into 100 bytes: nothing is installed
    # and the pre commands already run are undone by their post commands.
    r = run(kit, full_disk(kit, kit.backup, 100))
    assert_failed_and_rolled_back(kit, r, f'"{kit.backup / "liba.so"}": No space left on device')
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    assert_converges(kit)


def test_check_without_write_access_to_the_installation(updated):
    kit, before = updated, tree(updated.inst)
    for p in [kit.inst, *kit.inst.rglob("*")]:
        os.lchown(p, 0, 0) if ROOT else p.chmod(p.stat().st_mode & ~0o222)
    kit.tmp, kit.log = kit.base / "own/tmp", kit.base / "own/check.log"  # the runner's own
    r = subprocess.run(unprivileged() + [str(kit.bin / "updater")] + kit.args(
        [kit.url], ["--checkdirty"], plugins=False), capture_output=True, timeout=RUN_TIMEOUT)
    assert b"update available: 4 files in 2 modules" in r.stdout and tree(kit.inst) == before



FILL_SCRIPT = """#!/bin/sh
head -c "$1" /dev/zero > "$(dirname "$0")/filler"
"""


@pytest.mark.skipif(not ROOT, reason="mounting a file system needs root")
def test_full_installation_file_system_is_named_and_no_server_is_blamed(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0755", "tmpfs", str(kit.inst)],
                   check=True)
    try:
        for name, script in (("mark", MARK_SCRIPT), ("fill", FILL_SCRIPT)):
            (kit.inst / name).write_text(script)
            (kit.inst / name).chmod(0o755)
        kit.module("data", {"big.bin": os.urandom(100 * 1024), "small": b"s1\n"},
                   pre="mark pre data", post="mark post data")
        kit.publish()
        srv, spare = nginx(kit.www), nginx(kit.www)
        assert kit.run([srv.url]).returncode == 0, kit.log_text()
        old = kit.installed_tree()
        # Downloading: the new big file does not fit into its partial file.
        kit.module("data", {"big.bin": os.urandom(600 * 1024), "small": b"s2\n"})
        kit.publish()
        before = os.path.getsize(srv.access_log)
        r = kit.run([srv.url, spare.url])
        text = r.stdout.decode() + kit.log_text()
        assert r.returncode == 255, text
        assert f'"{kit.inst}/' in text and '": No space left on device' in text, text
        assert "Trying the next server" not in text and "this server failed" not in text, text
        # One server was asked, whichever the run chose first.
        sizes = [os.path.getsize(s.access_log) if os.path.exists(s.access_log) else 0
                 for s in (srv, spare)]
        assert sizes[0] == before or sizes[1] == 0, text
        assert kit.installed_tree() == old and not list(kit.inst.rglob("*.part"))
        # Installing: the pre command fills the disk; the rollback finds every file intact.
        kit.module("data", {"big.bin": os.urandom(200 * 1024), "small": b"s3\n"})["pre"] = \
            "fill 300000"
        kit.publish()
        r = kit.run([srv.url])
        text = r.stdout.decode() + kit.log_text()
        assert r.returncode == 255 and "No space left on device" in text, text
        assert "nothing to restore" in text and "failed while" not in text, text
        (kit.inst / "filler").unlink()
        assert kit.installed_tree() == old
        kit.modules[0]["pre"] = None
        kit.publish()
        r = kit.run([srv.url])
        assert r.returncode == 0 and kit.installed("data", "small") == b"s3\n", kit.log_text()
        # A log on the full file system: said once, on the console.
        kit.log = kit.inst / "run.log"
        subprocess.run([str(kit.inst / "fill"), "600000"], stderr=subprocess.DEVNULL)
        out = kit.run([srv.url]).stdout.decode()
        assert out.count(f'"{kit.log}" cannot be written: No space left on device') == 1, out
    finally:
        subprocess.run(["umount", "-l", str(kit.inst)], check=False)
