"""A few representative update runs of the optimised updater under valgrind's memcheck: a
fresh install, an update of one changed file, a failed update that rolls back, a mirror
and a run through an HTTP proxy. Each must end as it does natively, with no memory error
and no definite or indirect leak (still-reachable blocks of the libraries at exit are not
leaks). The sanitizer build is checked by its own runtime instead: valgrind and
AddressSanitizer do not run together."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import sanitized_build
from updatekit import MASTERIDX, UpdateKit, two_module_kit

VALGRIND = shutil.which("valgrind")
SUPPRESSIONS = Path(__file__).resolve().parents[1] / "support" / "valgrind.supp"

pytestmark = [
    pytest.mark.skipif(sanitized_build(), reason="valgrind does not run a sanitized build"),
    pytest.mark.skipif(VALGRIND is None, reason="valgrind is not installed"),
]

# A run that takes well under a second natively takes a few seconds here.
MEMCHECK_TIMEOUT = 180
ERRORS_EXIT = 99


def memcheck(kit, urls, extra=(), answers="", env=None):
    """Runs the kit's updater to its end under memcheck; fails on any error or leak report."""
    log = kit.base / "memcheck.%p.log"
    for old in kit.base.glob("memcheck.*.log"):
        old.unlink()
    kit.events_file.unlink(missing_ok=True)
    e = kit.env(answers)
    e.update(env or {})
    cmd = [VALGRIND, "--tool=memcheck", "--leak-check=full",
           "--errors-for-leak-kinds=definite,indirect", f"--error-exitcode={ERRORS_EXIT}",
           "--track-fds=no", "--num-callers=30", f"--suppressions={SUPPRESSIONS}",
           f"--log-file={log}",
           str(kit.bin / "updater")] + kit.args(urls, extra)
    r = subprocess.run(cmd, cwd=kit.base, capture_output=True, timeout=MEMCHECK_TIMEOUT,
                       env=e, stdin=subprocess.DEVNULL)
    # One log per process: the updater's, and a short one of each child it forked before
    # the child's exec (a module command), which has no summary.
    reports = [p.read_text(errors="replace") for p in sorted(kit.base.glob("memcheck.*.log"))]
    summaries = [re.search(r"ERROR SUMMARY: (\d+) errors", t) for t in reports]
    assert any(summaries), "memcheck wrote no summary:\n" + "\n".join(reports)
    for text, summary in zip(reports, summaries):
        assert summary is None or summary.group(1) == "0", text
    assert r.returncode != ERRORS_EXIT, "\n".join(reports)
    return r


def expected_tree(kit):
    return {f"{m['name']}/{os.path.basename(p)}": data
            for m in kit.modules for p, data in m["files"].items()}


def test_fresh_install(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = memcheck(kit, [srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == expected_tree(kit)
    assert kit.markers() == ["pre base", "pre core", "post core", "post base"]
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_update_of_one_changed_file(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    kit.set_file("core", "README", b"read me v2\n")
    kit.publish()
    kit.clear_markers()
    r = memcheck(kit, [srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == expected_tree(kit)
    assert kit.markers() == ["pre core", "post core"]
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_failed_update_rolls_back(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    before = kit.installed_tree()
    kit.set_file("base", "lib/libb.so", b"B" * 100)
    kit.set_file("core", "bin/tool", b"#!/bin/sh\necho v2\n")
    kit.publish()
    # The first module's installation step fails: it is restored, every post runs.
    r = memcheck(kit, [srv.url], answers="gui.afterInstallModule=1")
    assert r.returncode == 255
    assert kit.installed_tree() == before
    assert "LIB notifyUpdateCriticalError(611)" in kit.run_events()
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_mirror(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    r = memcheck(kit, [srv.url], extra=["--mirror=1"])
    assert r.returncode == 0, kit.log_text()
    assert (kit.inst / MASTERIDX).read_bytes() == (kit.www / MASTERIDX).read_bytes()
    for m in kit.modules:
        for path in m["files"]:
            mirrored = kit.server_file(m["name"], path, www=kit.inst)
            assert mirrored.read_bytes() == kit.server_file(m["name"], path).read_bytes()
    assert kit.installed_tree() == {}  # a mirror installs nothing
    assert kit.markers() == []         # and runs no module commands


def test_run_through_an_http_proxy(tmp_path, nginx, tinyproxy):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    proxy = tinyproxy()
    r = memcheck(kit, [srv.url], extra=["--proxy-server=127.0.0.1",
                                        f"--proxy-port={proxy.port}"])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == expected_tree(kit)
    assert "demo/files/core/README.gz" in open(proxy.log_file).read()
