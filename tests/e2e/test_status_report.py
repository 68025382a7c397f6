"""Asking an installation (--status), the dry run that lists (--checkdirty --list-changes=1)
and the run's report files (--report, --metrics) after a good, a failed and a refused run."""

import json
import os
import re
import shutil
import subprocess

from signedkit import serial, sign, signed_kit
from updatekit import MASTERIDX, UpdateKit, md5

METRIC_LINE = re.compile(r'^[a-zA-Z_:][a-zA-Z0-9_:]*(\{([a-zA-Z_]\w*="([^"\\\n]|\\.)*",?)*\})? '
                         r'-?[0-9.e+]+$')


def check_metrics(path):
    """promtool's verdict when Debian's prometheus package is installed, else the text
    format's rules: HELP and TYPE once before a family's samples, names and labels well formed."""
    if shutil.which("promtool"):
        r = subprocess.run(["promtool", "check", "metrics"], stdin=open(path, "rb"),
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stdout + r.stderr
    families = []
    for line in path.read_text().splitlines():
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            name = line.split()[2]
            assert name not in families[:-1], line
            families += [] if families and families[-1] == name else [name]
        else:
            assert METRIC_LINE.match(line) and line.startswith(families[-1]), line
    return {line.split(" ")[0]: float(line.rsplit(" ", 1)[1])
            for line in path.read_text().splitlines() if not line.startswith("#")}


def status(kit, form="json"):
    """--status without a log file, a plug-in or a temporary directory of its own."""
    args = [a for a in kit.args([kit.url], [f"--trusted-keys={kit.trusted}"], plugins=False)
            if not a.startswith("--logfile=")]
    r = subprocess.run([str(kit.bin / "updater"), f"--status={form}", *args], cwd=kit.base,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    return json.loads(r.stdout) if form == "json" else r.stdout


def test_status_and_reports_after_a_good_a_failed_and_a_refused_run(tmp_path, nginx):
    kit = signed_kit(tmp_path, lambda www: nginx(www).url)
    report, metrics = tmp_path / "report.json", tmp_path / "updater.prom"
    outputs = [f"--report={report}", f"--metrics={metrics}"]
    tool = str(kit.inst / "core" / "tool")

    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    assert kit.run_signed(outputs).returncode == 0, kit.log_text()
    good = json.loads(report.read_text())
    assert good["schema"] == 1 and good["outcome"] == "success" and good["check_only"] is False
    assert (good["exit_status"], good["result_code"]) == (0, 0) and good["result_message"]
    assert (good["product"], good["version_before"], good["version_after"]) == \
        ("Demo", "1.0", "1.0")
    assert good["serial"] == serial(kit.www)
    assert good["files_updated"] == [tool] and good["files_added"] == []
    assert good["files_removed"] == [] and good["files_kept"] == []
    assert good["bytes_whole"] > 0 and good["bytes_patches"] == 0
    assert good["servers_tried"] == [kit.url]
    assert good["start_time"] <= good["end_time"] and good["start_time"].endswith("Z")
    figures = check_metrics(metrics)
    assert figures["updater_run_success"] == 1 and figures["updater_run_exit_status"] == 0
    assert figures['updater_run_files{change="updated"}'] == 1
    assert figures["updater_index_serial"] == serial(kit.www)

    # Asking writes nothing: not even into the runs' log, when it is given the same options.
    log, args = kit.log.read_bytes(), [str(kit.bin / "updater")] + kit.args([kit.url])
    r = subprocess.run(args + ["--status=text"], capture_output=True)
    assert r.returncode == 0 and kit.log.read_bytes() == log, r
    # An answer that cannot be written, or a mistyped installation, is no answer.
    r = subprocess.run(args + ["--status=json"], stdout=open("/dev/full", "wb"), stderr=-1)
    assert r.returncode == 255 and b"No space left" in r.stderr, r
    r = subprocess.run(args + ["--status=json", f"--install-path={kit.inst}x"], capture_output=True)
    assert r.returncode == 255 and b"There is no installation at" in r.stderr, r
    kit.log.unlink()
    shutil.rmtree(kit.tmp, ignore_errors=True)
    state = status(kit)
    assert not kit.log.exists() and not kit.tmp.exists()
    assert (state["product"], state["version"]) == ("Demo", "1.0")
    assert state["trusted"] is True and state["serial"] == good["serial"]
    assert state["last_run"]["outcome"] == "success" and state["last_run"]["exit_status"] == 0
    assert state["last_run"]["end_time"] == good["end_time"]
    assert state["unfinished"] is False
    assert "Demo, version 1.0" in status(kit, "text")

    # Failed: a module file that does not match its signed digest, after fetching began.
    kit.set_file("core", "bin/tool", b"v3\n")
    kit.publish(extra=[sign(kit.k1)])
    kit.server_file("core", "bin/tool").write_bytes(b"not the file")
    assert kit.run_signed(outputs).returncode != 0
    failed = json.loads(report.read_text())
    assert failed["outcome"] == "failed" and failed["exit_status"] == 255
    assert failed["result_code"] not in (0, 1) and "tool" in failed["result_message"]
    assert failed["files_updated"] == [] and failed["version_after"] == "1.0"
    assert failed["bytes_whole"] == len(b"not the file")  # what came, not what was due
    assert check_metrics(metrics)["updater_run_success"] == 0
    assert status(kit)["last_run"]["outcome"] == "failed"

    # Refused: an unsigned publication; nothing of it was fetched.
    kit.publish()
    assert kit.run_signed(outputs).returncode != 0
    refused = json.loads(report.read_text())
    assert refused["outcome"] == "refused" and refused["bytes_whole"] == 0
    assert refused["result_code"] == 628 and refused["serial"] == failed["serial"]
    state = status(kit)
    assert (state["last_run"]["outcome"], state["last_run"]["result_code"]) == ("refused", 628)
    assert state["last_run"]["result_message"] == refused["result_message"]
    # Root's link to a device (/dev/stdout, here a pipe) is written through, never replaced.
    null = tmp_path / "null"
    null.symlink_to("/dev/null")
    r = kit.run_signed(["--report=/dev/stdout", f"--metrics={null}"])
    assert json.loads(r.stdout[r.stdout.index(b"{"):])["outcome"] == "refused", r.stdout
    assert os.path.islink("/dev/stdout") and null.is_symlink()

    # The lists kept beside the index: module file counts, locally changed configuration.
    kept = kit.kept_index()
    readme = kit.inst / "core" / "README"
    (kept.parent / (kept.name + ".installed")).write_text(
        f"# updater installed files 1\ncore\t{tool}\ncore\t{readme}\n")
    (kept.parent / (kept.name + ".config")).write_text(
        f"# updater configuration digests 1\n{md5(readme.read_bytes())} {readme}\n")
    readme.write_bytes(b"edited here\n")
    state = status(kit)
    assert state["modules"] == [{"name": "core", "files": 2}]
    assert state["config_changed"] == [str(readme)]


def test_list_changes_names_each_file_a_run_would_change(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("core", {"a": b"a1\n", "b": b"b1\n", "c": b"c1\n"})
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    core = kit.inst / "core"
    (core / "old").write_bytes(b"from an earlier version\n")
    (core / "old.conf").write_bytes(b"dropped, but edited here\n")
    kept = kit.kept_index()
    (kept.parent / (kept.name + ".installed")).write_text(
        "# updater installed files 1\n" + "".join(f"core\t{core / n}\n" for n in "abc") +
        f"core\t{core / 'old'}\ncore\t{core / 'old.conf'}\n")
    (kept.parent / (kept.name + ".config")).write_text(
        f"# updater configuration digests 1\n{md5(b'c1' + bytes([10]))} {core / 'c'}\n"
        f"{md5(b'o1' + bytes([10]))} {core / 'old.conf'}\n")
    (core / "b").unlink()
    (core / "c").write_bytes(b"edited here\n")
    kit.module("core", {"a": b"a2\n", "b": b"b1\n", "c": b"c2\n", "d": b"d1\n"})
    kit.publish()
    (kept.parent / (kept.name + ".lastrun")).unlink()

    r = kit.run([srv.url], ["--checkdirty", "--list-changes=1"])
    assert r.returncode != 0
    listed = re.findall(r"^(changed|missing|new|dropped|config-kept|patch) +(\S+)$",
                        r.stdout.decode(), re.M)
    assert sorted(listed) == sorted([("changed", str(core / "a")), ("missing", str(core / "b")),
                                     ("config-kept", str(core / "c")), ("new", str(core / "d")),
                                     ("dropped", str(core / "old")),
                                     ("config-kept", str(core / "old.conf"))]), r.stdout
    # Only a check: nothing changed, and no record of the run.
    assert (core / "a").read_bytes() == b"a1\n" and not (core / "d").exists()
    assert not (kept.parent / (kept.name + ".lastrun")).exists()
