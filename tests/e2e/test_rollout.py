"""The health check that rolls a release back, and the candidate release a share of
machines takes: the real updater and publisher against an nginx-served tree."""

import hashlib
import os
import subprocess
from pathlib import Path

import pytest

from updatekit import MASTERIDX, PRODUCTINFO, PUBLISH, UPDATEROOT, UpdateKit

# Exits with the status in probe.status beside it; sleeps while probe.hang is there.
PROBE = """#!/bin/sh
d="$(dirname "$0")"
[ -x "$d/probe.hook" ] && "$d/probe.hook"
while [ -e "$d/probe.hang" ]; do sleep 1; done
exit "$(cat "$d/probe.status" 2>/dev/null || echo 0)"
"""


def health_kit(tmp_path):
    kit = UpdateKit(tmp_path)
    probe = kit.inst / "probe"
    probe.write_text(PROBE)
    probe.chmod(0o755)
    kit.module("core", {"bin/tool": b"v1\n", "app.conf": b"v1\n", "b.conf": b"v1\n"},
               post="mark post core", unpost="mark unpost core",
               check="probe %INSTALL_PATH%")["config"] = ("app.conf", "b.conf")
    kit.publish()
    return kit


def test_failed_health_check_rolls_back_and_is_not_retried(tmp_path, nginx):
    kit = health_kit(tmp_path)
    srv = nginx(kit.www)
    assert kit.run([srv.url]).returncode == 0
    failed = Path(str(kit.kept_index()) + ".failed")

    # v2 changes the tool, the configuration file edited here, and adds a file; its check
    # fails: the installation is v1 again, without the product's copy of the new file.
    kit.version = "2.0"
    kit.module("core", {"bin/tool": b"v2\n", "bin/new.txt": b"new\n", "app.conf": b"v2\n",
                        "b.conf": b"v2\n"})
    kit.module("extra", {"share/extra/x.dat": b"x\n"})  # a new module in new directories
    (kit.inst / "core" / "app.conf").write_bytes(b"mine\n")
    (kit.inst / "core" / "b.conf").write_bytes(b"mine\n")
    (kit.inst / "core" / "b.conf.upd-new-dist").write_bytes(b"an earlier copy\n")
    dirs = sorted(p for p in kit.inst.rglob("*") if p.is_dir())
    kit.publish(extra=["--rollout=100"])  # as a candidate, every machine takes it
    (kit.inst / "probe.status").write_text("3")
    kit.clear_markers()
    r = kit.run([srv.url])
    assert r.returncode == 255
    assert "module core failed: \"probe " in kit.log_text() and "3" in kit.log_text()
    assert kit.installed("core", "tool") == b"v1\n" and kit.installed("core", "new.txt") is None
    assert kit.installed("core", "app.conf.upd-new-dist") is None
    assert kit.installed("core", "b.conf.upd-new-dist") == b"an earlier copy\n"
    assert sorted(p for p in kit.inst.rglob("*") if p.is_dir()) == dirs
    assert kit.installed("core", "app.conf") == b"mine\n"
    assert kit.markers() == ["post core", "unpost core", "post core"]
    assert "sha256=" in failed.read_text()

    # Not tried again, also once promoted to stable, even with a check that would pass
    # now; --retry-failed=1 would.
    kit.publish()
    (kit.inst / "probe.status").write_text("0")
    # Had the rollback been stopped (no word that v1 is whole again), every run would say
    # so and leave the update unfinished rather than call it done.
    whole = failed.read_text()
    failed.write_text(whole.replace("rolled-back=yes\n", ""))
    r = kit.run([srv.url])
    assert r.returncode == 255 and b"was stopped before it ended" in r.stdout, r.stdout
    assert Path(str(kit.kept_index()) + ".pending").exists() and "rolled-back=yes" in whole
    status = kit.run([srv.url], extra=["--status=text"]).stdout
    assert b"files of both releases" in status and b"the next run completes it" not in status
    failed.write_text(whole)
    assert kit.run([srv.url]).returncode == 0
    assert "failed its health check on this machine" in kit.log_text()
    assert kit.installed("core", "tool") == b"v1\n"
    # The run and the status name the release installed, not the one refused.
    assert "Demo stays at version 1.0" in kit.log_text()
    assert b"up to date" in kit.run([srv.url], extra=["--checkdirty"]).stdout
    assert b"Product: Demo, version 1.0" in kit.run([srv.url], extra=["--status=text"]).stdout

    # A newer release installs.
    kit.module("core", {"bin/tool": b"v3\n", "bin/old.txt": b"old\n"})
    kit.publish()
    assert kit.run([srv.url]).returncode == 0 and kit.installed("core", "tool") == b"v3\n"

    # A check that hangs is stopped after --check-timeout.
    kit.module("core", {"bin/tool": b"v4\n"})
    kit.publish()
    (kit.inst / "probe.hang").write_text("")
    r = kit.run([srv.url], extra=["--check-timeout=2"])
    (kit.inst / "probe.hang").unlink()
    assert r.returncode == 255 and kit.installed("core", "tool") == b"v3\n"
    assert kit.installed("core", "old.txt") == b"old\n"  # dropped by v4, put back
    # A Ctrl-C during a check (it reaches the check too): rolled back, not recorded as failed.
    kit.module("core", {"bin/tool": b"v4b\n"})
    kit.publish()
    (kit.inst / "probe.status").write_text("3")
    (kit.inst / "probe.hook").write_text("#!/bin/sh\nkill -INT $(cut -d' ' -f4 /proc/$PPID/stat)\n")
    (kit.inst / "probe.hook").chmod(0o755)
    record = failed.read_text()
    r = kit.run([srv.url])
    assert r.returncode == 255 and kit.installed("core", "tool") == b"v3\n", kit.log_text()
    assert "SIGINT received" in kit.log_text() and failed.read_text() == record
    # A dropped file that cannot be put back (a directory took its name) stops no restore.
    kit.module("core", {"bin/tool": b"v5\n"})
    kit.publish()
    (kit.inst / "probe.status").write_text("3")
    (kit.inst / "probe.hook").write_text(f"#!/bin/sh\nmkdir -p {kit.inst}/core/old.txt\n")
    (kit.inst / "probe.hook").chmod(0o755)
    r = kit.run([srv.url])
    assert r.returncode == 255 and kit.installed("core", "tool") == b"v3\n", kit.log_text()
    assert f"{kit.inst}/core/old.txt" in kit.log_text()
    # A check program that is not there fails the check, named where it was looked for.
    (kit.inst / "core" / "old.txt").rmdir()
    kit.module("core", {"bin/tool": b"v6\n"})
    kit.publish()
    (kit.inst / "probe").rename(kit.inst / "probe.away")
    r = kit.run([srv.url])
    assert r.returncode == 255 and kit.installed("core", "tool") == b"v3\n", kit.log_text()
    assert f"started: \"{kit.inst}/probe\": No such file" in kit.log_text()


def takes(machine, version, share):
    digest = hashlib.sha256(f"{machine}\nDemo\n{version}".encode()).digest()
    return int.from_bytes(digest[:8], "big") * 100 < share << 64


def test_candidate_share_halt_and_old_updaters(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"v1\n"})
    kit.publish()
    srv = nginx(kit.www)
    assert kit.run([srv.url], extra=["--machine-id=first"]).returncode == 0
    stable = (kit.www / "demo/master.idx").read_bytes()

    kit.version = "2.0"
    kit.module("core", {"bin/tool": b"v2\n"})
    kit.publish(extra=["--rollout=30"])

    def chosen(machine, *extra):
        kit.run([srv.url], extra=["--checkdirty", f"--machine-id={machine}", *extra])
        return "follows the candidate release 2.0" in kit.log_text()

    machines = [f"machine-{n}" for n in range(100)]
    answers = [chosen(m) for m in machines]
    assert answers == [chosen(m) for m in machines]  # the same on every run
    assert answers == [takes(m, "2.0", 30) for m in machines]
    assert 15 <= sum(answers) <= 45

    kit.publish(extra=["--rollout=100"])
    assert all(chosen(m) for m in machines)
    # A machine installs the candidate and remembers it; after a halt nobody else takes
    # it, and that machine stays on it.
    assert kit.run([srv.url], extra=["--machine-id=taker"]).returncode == 0
    assert kit.installed("core", "tool") == b"v2\n"
    # The kept index names the stable release; the status names the one installed.
    assert b"Product: Demo, version 2.0" in kit.run([srv.url], extra=["--status=text"]).stdout
    record = Path(str(kit.kept_index()) + ".candidate")
    assert "version=2.0" in record.read_text()
    kit.publish(extra=["--rollout=0"])
    record.rename(tmp_path / "record")
    assert not any(chosen(m) for m in machines)
    (tmp_path / "record").rename(record)
    assert chosen("taker") and not chosen("taker", "--candidate=never")
    # With the index kept and unchanged, the mode (never, always) still decides.
    assert kit.run([srv.url], extra=["--machine-id=taker"]).returncode == 0
    assert kit.run([srv.url], extra=["--machine-id=taker", "--candidate=never"]).returncode == 0
    assert kit.installed("core", "tool") == b"v1\n" and not record.exists()
    assert kit.run([srv.url], extra=["--machine-id=other", "--candidate=always"]).returncode == 0
    assert kit.installed("core", "tool") == b"v2\n"
    # A mirror copies the stable release only; a machine taking the candidate from it, too.
    inst, kit.inst = kit.inst, tmp_path / "mirror"
    r = kit.run([srv.url], extra=["--mirror=1"])
    assert r.returncode == 0 and b"is not copied into the mirror" in r.stdout, r
    mirror, kit.inst = kit.inst, tmp_path / "from-mirror"
    for warned in (True, False):  # not asked for again while the index offers it
        r = kit.run([nginx(mirror).url], extra=["--candidate=always"])
        assert r.returncode == 0 and (b"cannot be fetched" in r.stdout) == warned, r
    assert kit.installed("core", "tool") == b"v1\n"
    kit.inst = inst

    # The stable release is untouched: an updater from before candidates installs it.
    assert b"candidateversion=2.0" in (kit.www / "demo/master.idx").read_bytes()
    assert stable.splitlines()[:4] == (kit.www / "demo/master.idx").read_bytes().splitlines()[:4]
    old = os.environ.get("UPDATER_BASE_BINARY")
    if not old or not Path(old).exists():
        pytest.skip("UPDATER_BASE_BINARY names no updater from before candidates")
    fresh = tmp_path / "old-inst"
    fresh.mkdir()
    argv = [old] + [a.replace(str(kit.inst), str(fresh)) for a in kit.args([srv.url], plugins=False)]
    r = subprocess.run(argv, capture_output=True, timeout=60, cwd=tmp_path)
    assert r.returncode == 0 and (fresh / "core/tool").read_bytes() == b"v1\n"


def test_candidates_of_products_sharing_a_tree_keep_to_their_own_files(tmp_path):
    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"v1\n"})

    def publish(*extra, source="other", info="other/demo.info.gz", root=UPDATEROOT):
        desc = tmp_path / "other.desc"
        desc.write_text(kit.description().replace(PRODUCTINFO, info)
                        .replace(MASTERIDX, "other/demo.idx").replace("SOURCE = core",
                                                                      f"SOURCE = {source}")
                        .replace(f"UPDATEROOT = {UPDATEROOT}", f"UPDATEROOT = {root}"))
        return subprocess.run([str(PUBLISH), "--quiet", *extra, str(desc), str(kit.prod),
                               str(kit.www)], capture_output=True, text=True, timeout=60)
    kit.publish()
    assert publish().returncode == 0
    kit.version = "2.0"
    kit.module("core", {"bin/tool": b"v2\n"})
    kit.publish(extra=["--rollout=50"])
    assert publish("--rollout=50").returncode == 0
    # Withdrawing one product's candidate leaves the other's files.
    kit.version = "1.0"
    kit.module("core", {"bin/tool": b"v1\n"})
    kit.publish()
    candidates = kit.www / UPDATEROOT / "candidate"
    assert [p.name for p in candidates.iterdir()] == ["other"]
    assert publish().returncode == 0 and not candidates.exists()
    # No stable file may lie where candidates do; a mistyped earlier tree is no tree.
    for r in (publish(source="candidate/demo/demo.info.gz"), publish(info="a.candidate.info.gz"),
              publish(root=f"{UPDATEROOT}/candidate/demo/demo.info.gz")):
        assert r.returncode == 1 and "would lie where the candidate release" in r.stderr, r.stderr
    r = publish("--previous=/nonexistent")
    assert r.returncode == 1 and "--previous /nonexistent names no published tree" in r.stderr
