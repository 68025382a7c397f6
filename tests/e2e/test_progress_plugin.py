"""The terminal progress plug-in (build/plugins/libupdater-progress.so), loaded by a small
driver that plays a run's events through its table: a status line redrawn in place under a
real pseudo-terminal, one plain line per phase anywhere else, and never an answer but 0."""

import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import time

BUILD = os.environ["UPDATER_BUILD_DIR"]
PLUGIN = os.path.join(BUILD, "plugins", "libupdater-progress.so")
DRIVER = os.path.join(BUILD, "gui-plugin-driver")

ESCAPE = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

UPDATE = """onUpdateStart
onDownloadFile|http://127.0.0.1:1/demo/master.idx|/tmp/u/master.idx|120
onCheckMainIdx|1
onCheckFile|bin/tool|1000
onCheckFileIsDirty|bin/tool|1000
onCheckFile|lib/libdemo.so|2000
onCheckFileIsDirty|lib/libdemo.so|2000
onCheckFile|share/readme.txt|30
onCheckFilesDone|2
onStartDownloadFiles|http://127.0.0.1:1/|3000
onDownloadFile|http://127.0.0.1:1/f/app/bin/tool.gz|/tmp/u/app/bin/tool.gz|600
sleep|150
onDownloadFile|http://127.0.0.1:1/f/app/bin/tool.gz|/tmp/u/app/bin/tool.gz|400
onDownloadFile|http://127.0.0.1:1/f/base/lib/libdemo.so.gz|/tmp/u/base/lib/libdemo.so.gz|2000
onFinishDownloadFiles|http://127.0.0.1:1/
notifyModuleFileList|base|1|/opt/d/lib/libdemo.so|/opt/d/lib/libdemo.so|/opt/d/lib
notifyModuleFileList|app|1|/opt/d/bin/tool|/opt/d/bin/tool|/opt/d/bin
notifyModuleFileList|docs|0|/opt/d/share/readme.txt||/opt/d/share
notifyModuleFileListDone
BeforeUpdateModule|base
beforePre|base|
afterPre|base|
BeforeUpdateModule|app
beforePre|app|/opt/d/hook pre app
afterPre|app|/opt/d/hook pre app
beforeBackup|base
onBackupFile|base|/bin/sh|/opt/d/backup/lib/libdemo.so
afterBackup|base
beforeInstallModule|base
onInstallFile|/tmp/u/base/lib/libdemo.so|/opt/d/lib/libdemo.so
afterInstallModule|base
beforeBackup|app
onBackupFile|app|/nonexistent/bin/tool|/opt/d/backup/bin/tool
afterBackup|app
beforeInstallModule|app
onInstallFile|/tmp/u/app/bin/tool|/opt/d/bin/tool
afterInstallModule|app
beforePost|app|/opt/d/hook post app
afterPost|app|/opt/d/hook post app
AfterUpdateModule|app
beforePost|base|
afterPost|base|
AfterUpdateModule|base
onUpdateFinish
"""

ROLLBACK = """onUpdateStart
onCheckMainIdx|1
onCheckFile|bin/tool|1000
onCheckFileIsDirty|bin/tool|1000
onCheckFilesDone|1
onStartDownloadFiles|/srv/share/|1000
onDownloadFile|file:///srv/share/app/bin/tool.gz|/tmp/u/app/bin/tool.gz|1000
onFinishDownloadFiles|/srv/share/
notifyModuleFileList|app|1|/opt/d/bin/tool|/opt/d/bin/tool|/opt/d/bin
notifyModuleFileListDone
BeforeUpdateModule|app
beforeBackup|app
onBackupFile|app|/opt/d/bin/tool|/opt/d/backup/bin/tool
afterBackup|app
beforeInstallModule|app
onInstallFile|/tmp/u/app/bin/tool|/opt/d/bin/tool
afterInstallModule|app
beforePost|app|/opt/d/hook post app
beforeUnpost|app|/opt/d/hook unpost app
afterUnpost|app|/opt/d/hook unpost app
beforeRestoreModuleStartup|app
onModuleRestoreFile|app|/opt/d/backup/bin/tool|/opt/d/bin/tool
afterRestoreModuleCompletion|app
onUpdateCriticalError|613|Module app: the post command failed\\n
onUpdateFinish
"""

NOTHING = """onUpdateStart
onDownloadFile|http://127.0.0.1:1/demo/master.idx|/tmp/u/master.idx|120
onCheckMainIdx|0
onUpdateFinish
"""

FAILOVER = """onUpdateStart
onUpdateNonCriticalError|-1|Can not download http://127.0.0.1:1/demo/master.idx: Couldn't connect
onCheckMainIdx|0
onUpdateFinish
"""


def env(**extra):
    e = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", TERM="xterm")
    e.pop("NO_COLOR", None)
    e.pop("UPDATER_PROGRESS", None)
    e.update(extra)
    return e


def drive_plain(events, **extra):
    """Runs the driver with standard error on a pipe; returns (status, stdout, stderr)."""
    p = subprocess.run([DRIVER, PLUGIN], input=events.encode(), capture_output=True,
                       env=env(**extra), timeout=60)
    return p.returncode, p.stdout.decode(), p.stderr.decode("utf-8", "replace")


def drive_pty(events, columns=100, **extra):
    """Runs the driver with standard error on a real pseudo-terminal of `columns` columns;
    returns (status, stdout, what the terminal received)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen([DRIVER, PLUGIN], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=slave, env=env(**extra))
    os.close(slave)
    p.stdin.write(events.encode())
    p.stdin.close()
    received = b""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the last writer closed the terminal
                break
            if not chunk:
                break
            received += chunk
        elif p.poll() is not None:
            break
    os.close(master)
    out = p.stdout.read().decode()
    status = p.wait(timeout=30)
    return status, out, received.decode("utf-8", "replace")


def lasting_lines(terminal):
    """The lines left in the scroll-back: for each line, what follows its last redraw."""
    lines = []
    for raw in terminal.replace("\r\n", "\n").split("\n"):
        shown = ESCAPE.sub("", raw.split("\r")[-1])
        if shown:
            lines.append(shown)
    return lines


def test_without_a_terminal_one_plain_line_per_phase():
    status, out, err = drive_plain(UPDATE)
    assert status == 0 and "nonzero=0" in out
    assert "\x1b" not in err and "\r" not in err
    # A file that is not installed yet (app's tool) is not counted as backed up.
    assert err.splitlines() == [
        "Update started (updater 7.0.10)",
        "The server has changes: checking the installed files",
        "Checked 3 files: 2 changed, 2 to download",
        "Downloading 2 files (2.93 KiB) from http://127.0.0.1:1/",
        err.splitlines()[4],
        "Module base: updating 1 file",
        "Module app: updating 1 file",
        "Module app: pre command: /opt/d/hook pre app",
        "Module base: backed up 1 file",
        "Module base: installed 1 file",
        "Module app: installed 1 file",
        "Module app: post command: /opt/d/hook post app",
        "Update finished: 2 files installed in 2 modules",
    ]
    assert re.fullmatch(r"Downloaded 2 files, 2\.93 KiB in \d+\.\d s \(.+/s\)", err.splitlines()[4])


def test_on_a_terminal_a_status_line_is_redrawn_in_place():
    status, out, term = drive_pty(UPDATE)
    assert status == 0 and "nonzero=0" in out
    assert "\r" in term and "\x1b[K" in term
    # The file check counts, the download bar fills with the rate, modules show their step.
    assert "Checking files: 0 checked, 0 changed" in term
    assert re.search(r"Downloading \[#+\.+\] 20%  1/2 files  600 B of 2\.93 KiB  \S+ \S+/s", term)
    assert re.search(r"Downloading \[#+\] 100%  2/2 files  2\.93 KiB of 2\.93 KiB", term)
    assert "Module base: backing up" in term
    assert re.search(r"Module app: installing \[\.+\] 0/1 file(?!s)", term)
    # What stays on the screen is the same story as the plain output.
    assert lasting_lines(term)[-1] == "Update finished: 2 files installed in 2 modules"
    assert "\x1b[32mUpdate finished" in term
    assert "Downloaded 2 files, 2.93 KiB" in "\n".join(lasting_lines(term))


def test_rollback_is_shown_clearly():
    status, _, err = drive_plain(ROLLBACK)
    assert status == 0
    assert err.splitlines()[-6:] == [
        "Module app: post command: /opt/d/hook post app",
        "ROLLBACK: module app: unpost command: /opt/d/hook unpost app",
        "ROLLBACK: restoring module app",
        "ROLLBACK: module app restored (1 file copied back)",
        "Update failed (error 613): Module app: the post command failed",
        "Update FAILED; the modules it had changed were rolled back",
    ]
    status, _, term = drive_pty(ROLLBACK)
    assert status == 0
    assert "\x1b[1;31mROLLBACK: restoring module app\x1b[0m" in term
    assert "ROLLBACK module app: restoring" in term
    assert "\x1b[31mUpdate FAILED; the modules it had changed were rolled back" in term


def test_nothing_changed_and_a_failed_server():
    _, _, err = drive_plain(NOTHING)
    assert err.splitlines() == ["Update started (updater 7.0.10)", "Nothing changed on the server",
                                "Up to date: nothing to update"]
    _, _, err = drive_plain(FAILOVER)
    assert err.splitlines()[1] == ("Server failed (error -1): Can not download "
                                   "http://127.0.0.1:1/demo/master.idx: Couldn't connect; "
                                   "trying the next server")
    assert err.splitlines()[-1] == "Up to date: nothing to update"
    # The master index fetched before the check shows on a terminal only.
    _, _, term = drive_pty(NOTHING)
    assert "Fetching master.idx" in term
    assert lasting_lines(term)[-1] == "Up to date: nothing to update"


def test_status_line_never_wraps_on_a_narrow_terminal():
    long_name = "share/" + "very-long-directory-name/" * 6 + "données-été.txt"
    # The check redraws at most every 100 ms: pause so the long name is drawn.
    events = UPDATE.replace("onCheckFile|share/readme.txt", "sleep|150\nonCheckFile|" + long_name)
    events = events.replace("|/opt/d/hook pre app", "|/opt/d/hook pre app " + "x" * 80)
    status, _, term = drive_pty(events, columns=60)
    assert status == 0
    drawn = re.findall(r"\r([^\r\n]*)\x1b\[K", term)  # every redraw of the status line
    assert drawn
    for segment in drawn:
        assert len(ESCAPE.sub("", segment)) <= 59, segment
    assert "données-été.txt" in term  # the end of a path is what is kept


def test_plain_on_a_dumb_terminal_or_on_request_and_no_colour():
    for extra in ({"TERM": "dumb"}, {"UPDATER_PROGRESS": "plain"}):
        status, _, term = drive_pty(UPDATE, **extra)
        assert status == 0
        assert "\x1b" not in term and "Downloading [" not in term
        assert lasting_lines(term)[-1] == "Update finished: 2 files installed in 2 modules"
    _, _, term = drive_pty(ROLLBACK, NO_COLOR="1")
    assert "\x1b[K" in term and "\x1b[3" not in term and "\x1b[1;31m" not in term
    _, _, err = drive_plain(UPDATE, UPDATER_PROGRESS="bar")
    assert "\rDownloading [" in err


def test_every_answer_is_0_even_when_standard_error_is_gone():
    # A pipe whose reader has gone: no SIGPIPE ends the process, every call still answers 0.
    read_end, write_end = os.pipe()
    os.close(read_end)
    p = subprocess.run([DRIVER, PLUGIN], input=(UPDATE + ROLLBACK).encode(),
                       stdout=subprocess.PIPE, stderr=write_end, env=env(), timeout=60)
    os.close(write_end)
    assert p.returncode == 0 and b"nonzero=0" in p.stdout
    # Standard error closed altogether.
    p = subprocess.run([DRIVER, PLUGIN], input=UPDATE.encode(), stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, preexec_fn=lambda: os.close(2), env=env(),
                       timeout=60)
    assert p.returncode == 0 and b"nonzero=0" in p.stdout


def test_events_out_of_order_and_texts_the_locale_cannot_show():
    events = """onFinishDownloadFiles|x
onDownloadFile|http://h/a|/t/a|10
afterInstallModule|m
onInstallFile|a|b
onModuleRestoreFile|m|a|b
afterRestoreModuleCompletion|m
AfterUpdateModule|m
onCheckFilesDone|0
onUpdateFinish
onSelfUpdateStart
onSelfUpdateFinish
onUpdateCriticalError|-1|ĳ ☃ 日本
onUpdateFinish
"""
    status, out, err = drive_plain(events, LANG="C", LC_ALL="C")
    assert status == 0 and "calls=16 nonzero=0" in out
    assert "Update failed (error -1): ? ? ??" in err
    status, out, term = drive_pty(events)
    assert status == 0 and "nonzero=0" in out
    assert "日本" in term
