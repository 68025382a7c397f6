"""Whole update runs of the real updater against server trees made by update-publish and
served by nginx on 127.0.0.1 (or read from a share path): fresh install, nothing changed,
one changed file, checkdirty, verification failures, failover over servers, a plug-in
that takes the installation over, what module commands report."""

import os
import re
import subprocess
import time

import pytest

from updatekit import MASTERIDX, PUBLISH, UPDATEROOT, UpdateKit, md5, tree, two_module_kit


def test_fresh_install_installs_every_module(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = kit.run([srv.url])
    assert r.returncode == 0, (r.stdout, kit.log_text())

    for m in kit.modules:
        for path, data in m["files"].items():
            assert kit.installed(m["name"], path) == data, path
            mode = (kit.inst / m["name"] / os.path.basename(path)).stat().st_mode & 0o777
            assert mode == 0o755
    # Pre commands in module order, post commands in reverse module order.
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    # The fresh index replaces the kept copy; nothing of the run is left behind.
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not kit.tmp.exists()
    assert not kit.backup.exists()

    ev = kit.run_events()
    assert ev[0] == "GUI onUpdateStart()"
    assert ev[-1] == "GUI onUpdateFinish()"
    expected_order = [
        "GUI onUpdateStart()", "LIB notifyUpdateStart(", "LIB beforeDownloadFiles(",
        "GUI onCheckMainIdx(true)", "LIB getSpecialDownloadFilesFirst(",
        'LIB notifyProductInfoFile("demo.info")', "LIB getSpecialDownloadFilesSecond(",
        "LIB setTidy(", "GUI onCheckFilesDone(4)", "LIB afterDownloadFiles()",
        'LIB notifyModuleFileList("base", true', 'GUI notifyModuleFileList("base", true',
        'LIB notifyModuleFileList("core", true', 'GUI notifyModuleFileList("core", true',
        "LIB notifyModuleFileListDone()", "GUI notifyModuleFileListDone()", "LIB globalPre()",
        "LIB overrideInstall()",
        'GUI BeforeUpdateModule("base")', 'GUI beforePre("base"', 'GUI afterPre("base"',
        'GUI BeforeUpdateModule("core")', 'GUI beforePre("core"', 'GUI afterPre("core"',
        'GUI beforeBackup("base")', 'GUI afterBackup("base")', 'GUI beforeInstallModule("base")',
        'GUI afterInstallModule("base")', 'GUI beforeBackup("core")', 'GUI afterBackup("core")',
        'GUI beforeInstallModule("core")', 'GUI afterInstallModule("core")',
        'GUI beforePost("core"', 'GUI afterPost("core"', 'GUI AfterUpdateModule("core")',
        'GUI beforePost("base"', 'GUI afterPost("base"', 'GUI AfterUpdateModule("base")',
        "LIB globalPost()", "GUI onUpdateFinish()",
    ]
    assert len(ev) == len(expected_order), ev
    for got, want in zip(ev, expected_order):
        assert got.startswith(want), (got, want, ev)
    assert 'LIB notifyUpdateStart("%s/", "%s/", "%s/")' % (kit.inst, kit.backup, kit.tmp) in ev


def test_nothing_changed_sends_only_the_nothing_changed_notifications(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0
    before = kit.installed_tree()
    kit.clear_markers()

    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.run_events() == [
        "GUI onUpdateStart()",
        'LIB notifyUpdateStart("%s/", "%s/", "%s/")' % (kit.inst, kit.backup, kit.tmp),
        'LIB beforeDownloadFiles(false, "", 0, false, "", "")',
        "LIB afterDownloadFiles()",
        "LIB downloadNothingChanged()",
        "GUI onCheckMainIdx(false)",
        "GUI onUpdateFinish()",
    ]
    names = kit.names()
    assert "onCheckFile" not in names and "onStartDownloadFiles" not in names
    assert kit.installed_tree() == before
    assert kit.markers() == []
    assert not kit.tmp.exists()


def test_one_changed_file_is_the_only_one_fetched_and_installed(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0
    before = kit.installed_tree()
    kit.clear_markers()

    kit.set_file("core", "bin/tool", b"#!/bin/sh\necho tool v2\n")
    kit.publish()
    # Started without a standard output: the log gets its own records, not the console's.
    kit.events_file.unlink()
    r = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", str(kit.bin / "updater"),
                        *kit.args([srv.url])], env=kit.env("", ""), cwd=kit.base, timeout=60)
    assert r.returncode == 0, kit.log_text()
    assert all(re.match(r"\d\d/\d\d/\d{4} ", line) for line in kit.log_text().splitlines())

    after = kit.installed_tree()
    assert after["core/tool"] == b"#!/bin/sh\necho tool v2\n"
    assert {k: v for k, v in after.items() if k != "core/tool"} == \
        {k: v for k, v in before.items() if k != "core/tool"}
    # Only the changed module's commands ran.
    assert kit.markers() == ["pre core", "post core"]
    fetched = [a for t, n, a in kit.events() if n == "downloadFile" and "/files/" in a]
    assert len(fetched) == 1 and "core/bin/tool.gz" in fetched[0], fetched
    ev = kit.run_events()
    assert "GUI onCheckFilesDone(1)" in ev
    assert 'GUI BeforeUpdateModule("base")' not in ev
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()


def test_checkdirty_reports_changes_and_installs_nothing(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = kit.run([srv.url], ["--checkdirty"])  # an empty installation: not a directory made
    assert [p.name for p in kit.inst.rglob("*")] == ["mark"] and not kit.backup.exists()
    assert b"update available: 4 files in 2 modules, " in r.stdout, r.stdout
    assert kit.run([srv.url]).returncode == 0
    kit.set_file("base", "lib/libb.so", b"c" * 100)
    kit.publish()
    kit.clear_markers()
    marker = kit.inst / (MASTERIDX + ".pending")  # as a killed run leaves it: kept
    marker.write_bytes(b"")
    before = {p: b for p, b in tree(kit.inst).items() if p != MASTERIDX}

    r = kit.run([srv.url], ["--checkdirty"])
    assert r.returncode == 255
    assert tree(kit.inst) == before
    assert kit.markers() == []
    assert not kit.kept_index().exists()
    marker.unlink()
    names = kit.names()
    assert "BeforeUpdateModule" not in names and "globalPre" not in names
    assert "onStartDownloadFiles" not in names

    # Without changes checkdirty finds nothing: result 0.
    assert kit.run([srv.url]).returncode == 0
    r = kit.run([srv.url], ["--checkdirty", "--IgnoreMasterIDX=1"])
    assert r.returncode == 0 and r.stdout.endswith(b"up to date\n")


def test_fresh_install_from_a_share_path(tmp_path):
    kit = two_module_kit(tmp_path)
    r = kit.run(["file://" + str(kit.www)])
    assert r.returncode == 0, kit.log_text()
    for m in kit.modules:
        for path, data in m["files"].items():
            assert kit.installed(m["name"], path) == data


@pytest.mark.parametrize("damage", ["gz-content", "gz-size", "decompressed"])
def test_verification_failure_leaves_the_installation_as_it_was(tmp_path, nginx, damage):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0
    kit.set_file("core", "bin/tool", b"#!/bin/sh\necho tool v2\n")
    kit.set_file("base", "lib/libb.so", b"d" * 100)
    kit.publish()
    before = kit.installed_tree()
    kit.clear_markers()

    gz = kit.server_file("core", "bin/tool")
    data = gz.read_bytes()
    if damage == "gz-content":
        gz.write_bytes(data[:-5] + bytes(b ^ 0xFF for b in data[-5:]))
    elif damage == "gz-size":
        gz.write_bytes(data + b"x")
    else:
        # A well-formed .gz of the right size and digest in the product info, but of other
        # content: the product info is regenerated around a file that then changes.
        import gzip
        other = gzip.compress(b"#!/bin/sh\necho tool v3\n", mtime=0)
        gz.write_bytes(other)
    r = kit.run([srv.url])
    assert r.returncode == 255
    assert kit.installed_tree() == before
    assert not kit.kept_index().exists()
    assert not kit.tmp.exists()
    ev = kit.run_events()
    assert any(e.startswith("LIB notifyUpdateCriticalError(") for e in ev), ev
    assert ev[-1] == "GUI onUpdateFinish()"

    # Repaired server: the next run completes the update.
    kit.publish()
    gz.write_bytes(data)
    assert kit.run([srv.url]).returncode == 0
    assert kit.installed("core", "bin/tool") == b"#!/bin/sh\necho tool v2\n"


def test_failover_to_the_next_server(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    good = nginx(kit.www)
    (tmp_path / "empty").mkdir()
    dead = nginx(tmp_path / "empty")  # serves nothing: every fetch is a 404
    r = kit.run([dead.url, good.url, dead.url + "/unavailable/"])
    assert r.returncode == 0, kit.log_text()
    for m in kit.modules:
        for path, data in m["files"].items():
            assert kit.installed(m["name"], path) == data
    errors = [e for e in kit.run_events() if "NonCriticalError" in e]
    # Each failed server is reported once (LIB and GUI) before the next attempt.
    assert len(errors) % 2 == 0 and len(errors) <= 4


def test_all_servers_failing_ends_with_628(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    (tmp_path / "empty").mkdir()
    dead = nginx(tmp_path / "empty")
    # A failure here is not blamed on the server; the transport says why it failed.
    (kit.tmp / "demo/master.idx").mkdir(parents=True)
    good = nginx(kit.www).url
    r = kit.run([good, good + "/"])
    assert b"The update failed on this machine, not on the server: " in r.stdout, r.stdout
    r = kit.run(["http://127.0.0.1:9"])
    assert b"Failed to connect to 127.0.0.1 port 9" in r.stdout, r.stdout
    r = kit.run([dead.url, dead.url + "/unavailable/", dead.url + "/private/"])
    assert r.returncode == 255
    ev = kit.run_events()
    assert ev.count("LIB notifyUpdateNonCriticalError(-1)") == 3, ev
    assert "LIB notifyUpdateCriticalError(628)" in ev
    assert ev[-1] == "GUI onUpdateFinish()"
    assert ev.count("GUI onUpdateFinish()") == 1
    assert kit.installed_tree() == {}


def test_override_install_skips_the_passes(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = kit.run([srv.url], answers="overrideInstall=0")
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == {}
    assert kit.markers() == []
    ev = kit.run_events()
    i = ev.index("LIB overrideInstall()")
    assert ev[i + 1:] == ["LIB globalPost()", "GUI onUpdateFinish()"]


def test_plugin_taking_the_copy_over_gets_every_verified_download(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    present = tmp_path / "present.txt"
    r = kit.run([srv.url], answers="copyFile=0",
                env={"UPD_REC_SHELL_lib_copyFile": f"find {kit.tmp} -type f >> {present}"})
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == {}  # the plug-in's answer: the updater installed nothing
    copies = [a for _, n, a in kit.events() if n == "copyFile"]
    for m in kit.modules:
        for path in m["files"]:
            src = kit.tmp / UPDATEROOT / m["source"] / path
            assert f'"{src}", "{kit.inst / m["name"] / path.rsplit("/", 1)[-1]}"' in copies
            assert str(src) in present.read_text().split()  # there when offered


def test_noselfupdate_processes_an_unchanged_index(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0
    r = kit.run([srv.url], ["--noselfupdate"])
    assert r.returncode == 0, kit.log_text()
    ev = kit.run_events()
    assert "GUI onCheckMainIdx(true)" in ev
    assert "GUI onCheckFilesDone(0)" in ev
    assert "LIB globalPre()" not in ev
    assert "LIB downloadNothingChanged()" not in ev


def test_module_command_outcomes_are_reported_truthfully(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    fail = "#!/bin/sh\nexit 3\n"
    kit.module("hooks", {"bin/fail3": fail.encode()}, destination="%INSTALL_PATH%")
    kit.module("core", {"README": b"r"}, pre="bin/fail3 pre", post="mark post core",
               unpost="missing-program x")
    kit.publish()
    (kit.inst / "fail3").write_text(fail)
    (kit.inst / "fail3").chmod(0o755)
    r = subprocess.run([str(PUBLISH), "--check", str(tmp_path / "demo.desc"), str(kit.prod),
                        str(kit.www)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0
    assert 'UNPOST command of module core runs "missing-program"' in r.stderr
    assert "fail3" not in r.stderr and "mark" in r.stderr  # the kit's mark is no product file

    r = kit.run([nginx(kit.www).url], plugins=False)
    out = r.stdout.decode()
    assert r.returncode == 0 and kit.markers() == ["post core"]
    assert (f"The command of module core did not succeed: {kit.inst}/fail3 pre: Child process "
            "exited with status 3") in out
    assert kit.log_text().count("successfully executed") == 1  # the post command only

    # A program that cannot be started (neither in the installation root nor as given) is
    # an error naming what was tried last.
    kit.module("core", {"README": b"r2"})["pre"] = "mark pre core"
    kit.publish()
    (kit.inst / "mark").unlink()
    r = kit.run([nginx(kit.www).url], plugins=False)
    assert 'The command of module core could not be started: "mark": No such file' in r.stdout.decode()


def test_module_commands_get_their_path_variables(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"v1"}, pre="mark pre %INSTALL_PATH%",
               post="mark post %install_dir% %MYVAR% %UPDATED_FILES% %NOSUCH% 50%")
    kit.publish()
    r = kit.run([nginx(kit.www).url], ["--add-var-pair=MYVAR=hello"])
    assert r.returncode == 0, kit.log_text()
    post = f"post {kit.inst} hello [core] {kit.inst}/core/tool %NOSUCH% 50%"
    assert kit.markers() == [f"pre {kit.inst}", post]
    assert f'GUI beforePost("core", "mark post {kit.inst} hello [core] ' in "".join(kit.run_events())

    # An installation path with a blank stays one word of the program, bare or written out.
    kit = UpdateKit(tmp_path / "my app")
    kit.module("core", {"bin/tool": b"v1"}, pre="mark pre x", post="%INSTALL_PATH%/mark post y")
    kit.publish()
    assert kit.run(["file://" + str(kit.www)]).returncode == 0, kit.log_text()
    assert kit.markers() == ["pre x", "post y"]


def test_first_install_skips_a_pre_command_that_the_update_installs(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    svc = b'#!/bin/sh\necho "svc $*" >> "$(dirname "$0")/markers.txt"\n'
    kit.module("svc", {"svc": svc}, pre="svc stop", post="svc start",
               destination="%INSTALL_PATH%")
    kit.publish()
    url = nginx(kit.www).url
    r = kit.run([url])
    assert r.returncode == 0, kit.log_text()
    assert kit.markers() == ["svc start"]
    assert kit.log_text().count("is not installed yet and this update installs it") == 1
    # Installed, it is the module's PRE program again.
    kit.set_file("svc", "svc", svc + b"# 2\n")
    kit.publish()
    assert kit.run([url]).returncode == 0, kit.log_text()
    assert kit.markers() == ["svc start", "svc stop", "svc start"]
def test_stat_cache_reads_only_changed_files_and_is_dropped_when_not_trusted(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url], ["--stat-cache=1"]).returncode == 0
    cache = kit.inst / (MASTERIDX + ".stat")
    time.sleep(1.1)  # a file changed within a second before a check is not recorded

    def check(every=8):  # without plug-ins, which would hear every file checked
        r = kit.run([srv.url], ["--stat-cache=1", f"--full-check-every={every}",
                                "--IgnoreMasterIDX=1"], plugins=False)
        assert r.returncode == 0, kit.log_text()
        log = kit.log_text()
        if "that check's verdict stands, the product info is not read" in log:
            return "verdict", log
        m = re.search(r"(\d+) of 4 checked files had their digest from the stat cache", log)
        return int(m.group(1)), log

    assert check()[0] == 0 and cache.stat().st_mode & 0o777 == 0o600
    # Nothing changed: the first check's verdict stands, one stat per file.
    assert check()[0] == "verdict"
    # Another command line may expand other paths: the files are checked again.
    hits, log = check(every=9)
    assert hits == 4 and "the product info, the options, the environment" in log, log
    # Changed behind the updater's back, size and modification time put back: its status
    # change time still differs, so it is read and repaired.
    lib = kit.inst / "base" / "liba.so"
    original, st = lib.read_bytes(), lib.stat()
    lib.write_bytes(bytes(b ^ 1 for b in original))
    os.utime(lib, ns=(st.st_atime_ns, st.st_mtime_ns))
    hits, log = check(every=9)
    assert hits == 3 and f'"{lib}" changed since' in log, log
    assert lib.read_bytes() == original
    hits, log = check(every=5)  # the fifth check since the install reads every file
    assert hits == 0 and "reads every installed file and renews the stat cache" in log

    def pending():
        (kit.inst / (MASTERIDX + ".pending")).write_bytes(b"")

    def failed_run():
        (kit.inst / (MASTERIDX + ".lastrun")).write_text(
            "# updater last run 1\nended=%d\noutcome=failed\n" % (time.time() + 60))

    def link():
        os.rename(cache, cache.with_name("elsewhere"))
        os.symlink("elsewhere", cache)

    for damage, why in [(pending, "an unfinished update's marker is there"),
                        (failed_run, "the last run did not end well"),
                        (link, "it is not a regular file of root"),
                        (lambda: os.chmod(cache, 0o606), "it is not a regular file of root"),
                        (lambda: os.truncate(cache, cache.stat().st_size - 1),
                         "it is damaged or of another format")]:
        damage()
        hits, log = check()
        assert hits == 0 and f'The stat cache "{cache}" is not used: {why}' in log, log
        assert cache.is_file() and not cache.is_symlink()
    assert check()[0] in (3, 4, "verdict")
    # A refused run (a server out of reach) fetched and installed nothing: the cache stays.
    failed_run()
    (kit.inst / (MASTERIDX + ".lastrun")).write_text(
        kit.inst.joinpath(MASTERIDX + ".lastrun").read_text().replace("failed", "refused"))
    assert check()[0] in (3, 4, "verdict")
    # Only files nobody but root may write are taken from the cache (a write through a
    # mapping need not move the times): one that others may write is read every time.
    os.chmod(lib, 0o646)
    time.sleep(1.1)
    assert check()[0] == 3 and check()[0] == 3
    # A cache that cannot be written goes: it would never count to its full check.
    (kit.inst / (MASTERIDX + ".stat.new")).mkdir()
    hits, log = check()
    assert f'Cannot write the stat cache "{cache}"' in log and not cache.exists()
    (kit.inst / (MASTERIDX + ".stat.new")).rmdir()
    # A directory swapped for another user's link is not looked through.
    base = kit.inst / "base"
    os.rename(base, tmp_path / "real")
    os.symlink(tmp_path / "real", base)
    os.lchown(base, 65534, 65534)
    r = kit.run([srv.url], ["--stat-cache=1", "--IgnoreMasterIDX=1", "--checkdirty"],
                plugins=False)
    assert r.returncode == 255 and b"update available: 2 files" in r.stdout, r.stdout


def test_a_file_and_the_same_name_with_gz_in_one_directory(tmp_path, nginx):
    # "x" is fetched to "x.gz", where a file "x.gz" is decompressed: in either order.
    kit = UpdateKit(tmp_path)
    big, small = os.urandom(40 * 1024), b"small\n" * 40
    kit.module("a", {"share/x": big, "share/x.gz": small})
    kit.module("b", {"share/y.gz": small, "share/y": big})
    kit.publish()
    r = kit.run([nginx(kit.www).url + "/slow"], ["--parallel=8"])
    assert r.returncode == 0, kit.log_text()
    assert [kit.installed(m, f"share/{n}") for m, n in
            [("a", "x"), ("a", "x.gz"), ("b", "y"), ("b", "y.gz")]] == [big, small, big, small]
