"""Process-level tests of the updater's entry: start-up order, exit statuses and what the
process prints and logs. Each test runs a private copy of build/updater (with or without
the message file beside it) so that the updater's own directory, where the default log
file and configuration file live, is a scratch directory."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from updatekit import UpdateKit, tree

BUILD_DIR = Path(os.environ.get("UPDATER_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
UPDATER = BUILD_DIR / "updater"
MESSAGE_FILE = BUILD_DIR / "update_msg.lqr"

# The 53 options of the command line, in help order.
OPTION_NAMES = [
    "retries", "timeout", "parallel", "max-rate", "mirror", "plain-pass", "proxy-server",
    "proxy-port", "proxy-username", "proxy-userpass", "share-username", "share-userpass", "help",
    "install-path", "config-file", "masteridx", "defaultsrv", "productfile", "url-file",
    "url%d", "url", "productinfofile", "productroot", "copyaction", "execaction",
    "noselfupdate", "guilib", "updatelib", "add-var-pair", "add-var-pair%d", "backup-dir",
    "useragent", "logfile", "tmpdir", "idxlocalname", "checkdirty",
    "productfileignoreserverlist", "TmpFilesList", "IgnoreMasterIDX", "version", "log-append",
    "log-template", "trusted-keys", "trust-threshold", "delta", "check-timeout",
    "retry-failed", "machine-id", "candidate", "status", "list-changes", "report", "metrics",
    "stat-cache", "full-check-every",
]

# Options that pass validation without any server being contacted before the run.
VALID = ["--masteridx=idx/master.idx", "--defaultsrv=/nonexistent/share", "--productfile=product.txt"]


@pytest.fixture
def home(tmp_path):
    """A scratch directory holding a copy of the updater and of the message file."""
    shutil.copy2(UPDATER, tmp_path / "updater")
    shutil.copy2(MESSAGE_FILE, tmp_path / "update_msg.lqr")
    return tmp_path


def run(exe, args, cwd, timeout=60):
    env = dict(os.environ)
    env.pop("EXE_NAME", None)
    return subprocess.run([str(exe)] + args, cwd=cwd, capture_output=True, timeout=timeout,
                          env=env, stdin=subprocess.DEVNULL)


def test_version_anywhere_answers_before_anything_else(home):
    for args in (["--version"], ["--nonsense", "--version", "no-dashes"], ["--retries=x", "--version"]):
        result = run(home / "updater", args, cwd=home)
        assert result.returncode == 0, result
        assert result.stdout == b"Product version : 7.0.10\n"
    assert not (home / "update.log").exists()
    assert sorted(p.name for p in home.iterdir()) == ["update_msg.lqr", "updater"]
    # An answer that cannot be written is no answer, for both tools.
    for exe, args in ((home / "updater", ["--version"]), (home / "updater", VALID + ["--help"]),
                      (UPDATER.parent / "update-publish", ["--version"])):
        full = subprocess.run([str(exe)] + args, cwd=home, stdout=open("/dev/full", "wb"),
                              stderr=subprocess.PIPE, timeout=60)
        assert full.returncode in (1, 255) and b"No space left on device" in full.stderr, full


def test_version_in_another_spelling_ends_as_a_failure(home):
    result = run(home / "updater", VALID + ["--Version", f"--install-path={home}/inst"], cwd=home)
    assert result.returncode == 255, result
    lines = result.stdout.decode().splitlines()
    assert "Product version : 7.0.10" in lines
    assert "The version was shown; the updater does nothing else." in lines


def test_version_switch_in_a_configuration_file_is_refused(home):
    config = home / "update.conf"
    config.write_text("[product]\nmasteridx=idx/master.idx\nversion=1\n")
    result = run(home / "updater", [], cwd=home)
    assert result.returncode == 255, result
    assert ('The option "version" is a switch and cannot be given in a configuration file'
            in result.stdout.decode())
    assert b"Product version" not in result.stdout


def test_help_prints_every_option_and_exits_with_success(home):
    result = run(home / "updater", VALID + ["--help"], cwd=home)
    assert result.returncode == 0, result
    text = result.stdout.decode("utf-8")
    entries = re.findall(r"^--([^=\n]+)", text, flags=re.M)
    assert entries == OPTION_NAMES
    assert "\n--proxy-server=<|@NODEFAULT@|>\n" in text


def test_no_arguments_names_the_mandatory_option(home):
    result = run(home / "updater", [], cwd=home)
    assert result.returncode == 255, result
    assert result.stdout.decode() == 'The mandatory option "masteridx" is missing\n'


def test_missing_message_file_stops_the_start(tmp_path):
    shutil.copy2(UPDATER, tmp_path / "updater")
    result = run(tmp_path / "updater", VALID, cwd=tmp_path)
    assert result.returncode == 255, result
    expected = f"Failed to load {tmp_path.resolve()}/update_msg.lqr"
    assert expected in result.stdout.decode().splitlines()


def test_command_line_errors_end_with_255(home):
    for args, text in ((["retries=5"], 'Invalid argument "retries=5"'),
                       (["--nosuchswitch"], 'Unknown switch "nosuchswitch"'),
                       (VALID + ["--productroot=r", "--productinfofile=p"], "Invalid combination of options"),
                       (VALID + ["--timeout=0"], 'The value "0"'),
                       (VALID + ["--timeout=2147484"], 'The value "2147484"'),
                       (VALID + ["--proxy-server=127.0.0.1", "--proxy-port=70000"], '"70000"'),
                       (VALID + ["--stat-cache=yes"], 'The value "yes"'),
                       (VALID + ["--report=r.json", "--full-check-every=x"], 'The value "x"'),
                       (VALID + ["--proxy-server=127.0.0.1", "--proxy-port=1", "--proxy-username=a",
                                 "--proxy-userpass=s3cret"], "proxy-userpass is not a scrambled")):
        result = run(home / "updater", args, cwd=home)
        assert result.returncode == 255, (args, result)
        assert text in result.stdout.decode(), (args, result)
        assert not (home / "update.log").exists()  # the runs' log stays as it was
        assert not (home / "r.json").exists()  # and so does the last report


def test_start_up_prepares_directories_and_logs_the_command_line(home):
    inst = home / "inst"
    log = home / "logs" / "run.log"
    (home / "logs").mkdir()
    args = VALID + [f"--install-path={inst}", f"--tmpdir={home}/work/tmp",
                    f"--logfile={log}", "--add-var-pair=MY=my value"]
    result = run(home / "updater", args, cwd=home)
    # The run itself fails: the default server does not exist.
    assert result.returncode == 255, result
    assert inst.is_dir()
    text = log.read_text()
    # The run took the prepared directories; its clean-up removed the backup and
    # temporary ones again.
    assert (f'Installation directory "{inst}/", temporary directory "{home}/work/tmp/", '
            f'backup directory "{inst}/backup/"') in text
    assert not (inst / "backup").exists() and not (home / "work" / "tmp").exists()
    assert "Updater version : 7.0.10\n" in text
    # An argument with a blank is quoted, so that the text splits back into the arguments.
    command = " ".join([str(home / "updater")] + args[:-1] + ['"--add-var-pair=MY=my value"']) + " "
    assert f"Command line : {command}\n" in text


def test_configuration_file_and_log_append(home):
    inst = home / "product"
    (home / "update.conf").write_text(
        "; configuration of the test\n"
        "[product]\n"
        "masteridx = idx/master.idx ; the index\n"
        "defaultsrv=/nonexistent/share\n"
        "productfile=product.txt\n"
        f"install-path={inst}\n"
        "log-append=1\n"
        "<ignored line>\n")
    first = run(home / "updater", [], cwd=home)
    second = run(home / "updater", ["--retries=2"], cwd=home)
    assert first.returncode == 255 and second.returncode == 255
    assert inst.is_dir()
    log = (home / "update.log").read_text()
    assert log.count("Updater version : 7.0.10") == 2
    assert "--retries=2 \n" in log


def test_a_file_name_the_locale_cannot_write_is_named_and_its_server_kept(tmp_path, monkeypatch):
    # Under LC_ALL=C a non-ASCII name had no bytes: the transfer of "file://" failed, the
    # server was dropped as the one to blame, and the line naming the file was not written.
    monkeypatch.setenv("LC_ALL", "C.UTF-8")
    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"v1", "doc/\u00fcn\u00ef.txt": b"x"})
    kit.publish()
    url = "file://" + str(kit.www)
    r = kit.run([url], plugins=False, env={"LC_ALL": "C"})
    assert r.returncode == 255
    assert (f'The update failed: "{kit.www}/demo/files/core/doc/\u00fcn\u00ef.txt.gz" has no form '
            "in the character set of this locale") in r.stdout.decode(), r.stdout
    assert "Dropping download server" not in kit.log_text()
    assert kit.run([url], plugins=False).returncode == 0, kit.log_text()
    # A TMPDIR without a form in the locale made the temporary directory "/Update_...".
    kit.tmp = None
    r = kit.run([url], ["--IgnoreMasterIDX=1"], plugins=False, env={"TMPDIR": "/tmp/t\udcff"})
    assert r.returncode == 0, kit.log_text()
    assert (b"TMPDIR is not a name of this locale's character set: the temporary directory is "
            b"made in /tmp") in r.stdout, r.stdout


def test_argument_that_cannot_be_converted_is_named(home):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    result = subprocess.run([str(home / "updater"), "--masteridx=m", b"--url=\xff\xfe"],
                            cwd=home, capture_output=True, timeout=60, env=env,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 255, result
    assert result.stdout == b"Can not convert argument 2 to a wide string\n"
    assert not (home / "update.log").exists()


def kit_with_post(base):
    """A published one-module product whose POST command leaves a marker, and its URL."""
    kit = UpdateKit(base)
    kit.module("core", {"bin/tool": b"v1"}, post="mark post core")
    kit.publish()
    return kit, "file://" + str(kit.www)


def test_typo_of_a_path_or_plugin_option_is_refused_a_farther_one_warned(tmp_path):
    kit, url = kit_with_post(tmp_path / "kit")
    (tmp_path / "cwd").mkdir()
    args = [a for a in kit.args([url], plugins=False) if not a.startswith("--install-path")]
    conf = tmp_path / "typo.conf"
    conf.write_text("tmpdri = /tmp/x\n")  # two letters swapped: one edit
    before = tree(tmp_path)
    for extra, key, option, where in (
            ([f"--instal-path={kit.inst}"], "instal-path", "install-path", "the command line"),
            ([f"--install-path={kit.inst}", f"--config-file={conf}"], "tmpdri", "tmpdir", str(conf)),
            ([f"--install-path={kit.inst}", "--trusted-key=k.pub"], "trusted-key", "trusted-keys",
             "the command line")):
        result = run(kit.bin / "updater", args + extra, cwd=tmp_path / "cwd")
        assert result.returncode == 255, result
        assert (f'"{key}" in {where} is not an option of the updater, but it is close to '
                f"--{option}") in result.stdout.decode()
        assert tree(tmp_path) == before and not kit.markers()
    # A configuration file named on purpose that is not there would run without its settings.
    result = run(kit.bin / "updater", args + [f"--install-path={kit.inst}",
                                              f"--config-file={tmp_path}/typo.cnf"], cwd=tmp_path)
    assert result.returncode == 255 and b"Cannot read the configuration file" in result.stdout
    # A threshold without keys would check nothing.
    result = run(kit.bin / "updater", args + [f"--install-path={kit.inst}", "--trust-threshold=2"],
                 cwd=tmp_path)
    assert result.returncode == 255 and b"needs --trusted-keys" in result.stdout, result
    # Farther from every such option: a warning, and the run installs into the working
    # directory, which the console names.
    result = run(kit.bin / "updater", args + ["--instxxl-paxxh=1"], cwd=kit.inst)
    assert result.returncode == 0, result
    out = result.stdout.decode()
    assert '"instxxl-paxxh" in the command line is not an option of the updater' in out
    assert f'No --install-path is given: the installation is the working directory "{kit.inst}"' in out
    assert kit.markers() == ["post core"]


def test_missing_log_directory_is_made_and_a_check_as_nobody_needs_no_log():
    import grp
    import pwd
    import tempfile
    # Below /tmp, where the unprivileged user can reach the updater and the product.
    base = Path(tempfile.mkdtemp(dir="/tmp"))
    try:
        base.chmod(0o755)
        kit, url = kit_with_post(base / "kit")
        log = base / "logs" / "deeper" / "update.log"
        args = [a for a in kit.args([url], plugins=False) if not a.startswith("--logfile")]
        result = run(kit.bin / "updater", args + [f"--logfile={log}"], cwd=base)
        assert result.returncode == 0, result
        assert (log.parent.stat().st_mode & 0o777) == 0o755 and "Updater version" in log.read_text()
        # An unopenable log is named as the log file; a real run stops there.
        blocked = run(kit.bin / "updater", args + [f"--logfile={kit.inst}/mark/x.log"], cwd=base)
        assert blocked.returncode == 255
        assert (f'Cannot open the log file "{kit.inst}/mark/x.log": Not a directory'
                in blocked.stdout.decode())
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            return
        # A check by an unprivileged user, with the default log beside the updater (which
        # that user cannot write): a warning, then the answer.
        user = pwd.getpwnam("nobody")
        group = grp.getgrgid(user.pw_gid).gr_name
        args = [a for a in args if not a.startswith(("--tmpdir", "--backup-dir"))]
        check = subprocess.run(["setpriv", "--reuid=nobody", f"--regid={group}", "--clear-groups",
                                str(kit.bin / "updater"), *args, "--checkdirty"], cwd="/",
                               capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        out = check.stdout.decode()
        assert check.returncode == 0 and out.endswith("up to date\n"), out
        assert f'Cannot open the log file "{kit.bin}/update.log"' in out
        # No thread to be had (a task limit): the check hashes on the run's own thread. (The
        # leak checker of an instrumented build needs a thread of its own at the end.)
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        limited = subprocess.run(["setpriv", "--reuid=nobody", f"--regid={group}",
                                  "--clear-groups", "prlimit", "--nproc=1",
                                  str(kit.bin / "updater"), *args, "--checkdirty",
                                  "--IgnoreMasterIDX=1"], cwd="/", capture_output=True,
                                 timeout=60, stdin=subprocess.DEVNULL, env=env)
        assert limited.returncode == 0, limited.stdout
        assert limited.stdout.decode().endswith("up to date\n"), limited.stdout
    finally:
        shutil.rmtree(base)


def test_update_whose_output_pipe_closes_after_the_first_line_completes(tmp_path):
    kit = UpdateKit(tmp_path)
    kit.module("core", {f"bin/tool{i}": b"v1 %d" % i for i in range(4)}, post="waitgo")
    kit.publish()
    # The post command holds the run until the reader has gone (a bounded wait).
    (kit.inst / "waitgo").write_text('#!/bin/sh\ni=0\nwhile [ ! -e "$(dirname "$0")/go" ] && '
                                     '[ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\n')
    (kit.inst / "waitgo").chmod(0o755)
    updater = subprocess.Popen([str(kit.bin / "updater")] + kit.args(["file://" + str(kit.www)],
                                                                      plugins=False),
                               cwd=tmp_path, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    assert updater.stdout.readline()
    updater.stdout.close()
    (kit.inst / "go").touch()
    assert updater.wait(timeout=60) == 0
    assert {k: v for k, v in kit.installed_tree().items() if k.startswith("core/")} == {
        f"core/tool{i}": b"v1 %d" % i for i in range(4)}
    assert "Demo is now at version 1.0\n" in kit.log_text() and not tree(kit.tmp)
