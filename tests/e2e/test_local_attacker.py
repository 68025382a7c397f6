"""A local, unprivileged user against a root run of the updater.

The updater runs as root; the attacker is the user "nobody" (setpriv), who may write only
where the installation or /tmp lets every user write. Each case prepares a trap the way a
local user could (a pre-created directory, a planted link, a file held open, a forged
marker), lets a root run go by and then checks that nothing outside the installation
changed, that no installed file is owned by or writable for the attacker, and that no
command of the attacker's ran."""

import base64
import contextlib
import fcntl
import grp
import json
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from itertools import product
from pathlib import Path

import pytest

from signedkit import pub, sign
from updatekit import RECORDING, UpdateKit

ATTACKER = "nobody"

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                                reason="needs root and setpriv")


def attacker_uid():
    return pwd.getpwnam(ATTACKER).pw_uid


def attacker_argv(args):
    """args as a command line that runs them as the attacker."""
    group = grp.getgrgid(pwd.getpwnam(ATTACKER).pw_gid).gr_name
    return ["setpriv", f"--reuid={ATTACKER}", f"--regid={group}", "--clear-groups", *args]


def as_attacker(args, **kwargs):
    """Runs args as the attacker; gives the CompletedProcess."""
    return subprocess.run(attacker_argv(args), capture_output=True, timeout=60, **kwargs)


def assert_nothing_of_attacker(inst):
    """No file below inst is owned by or writable for the attacker (world-writable
    directories the test made for the attack itself excepted)."""
    uid = attacker_uid()
    for top, dirs, files in os.walk(inst):
        for name in files:
            st = os.lstat(os.path.join(top, name))
            assert st.st_uid != uid, os.path.join(top, name)
            assert not (stat.S_ISREG(st.st_mode) and st.st_mode & stat.S_IWOTH), \
                os.path.join(top, name)


def test_a_trusted_key_listed_twice_is_refused(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    key = kit.new_key("k")
    kit.module("core", {"bin/tool": b"v1\n"}, pre="mark pre core", post="mark post core")
    kit.publish(extra=[sign(key)])
    # The same public key once more under another id.
    raw = bytearray(base64.b64decode(pub(key).read_text().splitlines()[1]))
    raw[2:10] = bytes(b ^ 0xFF for b in raw[2:10])
    trusted = tmp_path / "trusted.pub"
    trusted.write_text(pub(key).read_text() + "untrusted comment: again\n" +
                       base64.b64encode(bytes(raw)).decode() + "\n")
    r = kit.run([nginx(kit.www).url], extra=[f"--trusted-keys={trusted}", "--trust-threshold=2"])
    out = r.stdout.decode() + kit.log_text()
    assert r.returncode == 255 and f'"{trusted}" lists one public key twice' in out, out
    assert kit.installed_tree() == {} and kit.markers() == []
    assert_nothing_of_attacker(kit.inst)


def test_a_module_command_inherits_only_the_standard_descriptors(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    lister = kit.inst / "fds"  # prints its descriptors but the one its listing opened
    lister.write_text(f"#!{sys.executable}\nimport os\np = '/proc/self/fd/'\nprint('fds', *[\n"
                      "    n + '=' + os.readlink(p + n) for n in sorted(os.listdir(p), key=int)\n"
                      "    if os.path.lexists(p + n)])\n")
    lister.chmod(0o755)
    kit.module("core", {"bin/tool": b"v1\n", "README": b"r1\n"}, post="fds")
    kit.publish()
    r = kit.run([nginx(kit.www).url])
    assert r.returncode == 0, kit.log_text()
    line = [l for l in r.stdout.decode().splitlines() if l.startswith("fds ")][0].split()
    assert [entry.split("=")[0] for entry in line[1:]] == ["0", "1", "2"], line
    assert_nothing_of_attacker(kit.inst)


@pytest.fixture
def scratch():
    """Makes directories in /tmp of the given owner and mode, all removed afterwards."""
    made = []

    def make(owner=0, mode=0o755):
        made.append(Path(tempfile.mkdtemp(dir="/tmp")))
        os.chown(made[-1], owner, -1)
        made[-1].chmod(mode)
        return made[-1]
    yield make
    for d in made:
        shutil.rmtree(d, ignore_errors=True)


def kit_with_post(base, nginx):
    kit = UpdateKit(base)
    kit.module("core", {"bin/tool": b"v1"}, post="mark post core")
    kit.srv = nginx(kit.publish())
    return kit


def test_run_uses_no_temporary_directory_another_user_prepared(tmp_path, nginx, scratch):
    kit, lair = kit_with_post(tmp_path, nginx), scratch(attacker_uid(), 0o777)
    owned, open_to_all, evil = lair / "work", scratch(0, 0o777), lair / "evil"
    assert as_attacker(["mkdir", "-m", "0777", str(owned)]).returncode == 0
    evil.write_text(f"#!/bin/sh\ntouch {lair}/ran\n")
    # The names Update_<date>_<time>_<pid> of the next seconds and process ids, made first.
    now, pid = time.time(), int(Path("/proc/sys/kernel/ns_last_pid").read_text())
    planted = [time.strftime(f"/tmp/Update_%Y%m%d_%H%M%S_{p}", time.localtime(now + s))
               for s in range(4) for p in range(pid + 1, pid + 60)]
    assert as_attacker(["mkdir", "-m", "0777", *planted]).returncode == 0
    loop = subprocess.Popen(attacker_argv([
        "sh", "-c", f"i=0; while [ $i -lt 3000 ] && [ ! -e {lair}/stop ]; do i=$((i+1)); "
        f"find /tmp/Update_* {lair} -type f ! -name evil -exec cp {evil} {{}} \\; 2>/dev/null; done"]))
    try:
        for given, env in ((owned, {}), (open_to_all, {}), (None, {"TMPDIR": str(lair)})):
            kit.tmp = given
            r = kit.run([kit.srv.url], env=env)
            assert r.returncode == 255 and str(given or lair).encode() in r.stdout, r.stdout
        assert not Path(kit.srv.access_log).read_text()  # refused before any download
        kit.tmp = None
        assert kit.run([kit.srv.url]).returncode == 0, kit.log_text()
    finally:
        (lair / "stop").touch()
        loop.wait(timeout=60)
        used = [a for _, n, a in kit.events() if n == "notifyUpdateStart"]
        assert not [p for p in planted if os.listdir(p) or os.rmdir(p)]  # empty, then gone
    assert kit.installed("core", "bin/tool") == b"v1" and kit.markers() == ["post core"]
    assert not (lair / "ran").exists()
    run_tmp = used[0].split(", ")[-1].strip('"/')  # the run's own, removed at its end
    assert run_tmp.startswith("tmp/Update_") and not os.path.exists("/" + run_tmp)
    assert_nothing_of_attacker(kit.inst)


def test_forged_pending_marker_leaves_outside_directories_alone(nginx, scratch):
    kit = kit_with_post(scratch(), nginx)  # reachable: the attacker writes into it
    assert kit.run([kit.srv.url]).returncode == 0, kit.log_text()
    victim, lair = scratch(), scratch(attacker_uid(), 0o777)  # root's own, the attacker's
    [(d / name).write_text(name) for d in (victim, lair) for name in (".updater-owned", "keep")]
    kit.kept_index().parent.chmod(0o777)  # the attacker writes the marker first, then root
    record = f"TmpDir={victim}\\nBackupDir={lair}\\n"
    for n, writer in ((2, as_attacker), (3, subprocess.run)):
        writer(["sh", "-c", f"printf '{record}' > {kit.kept_index()}.pending"], check=True)
        kit.set_file("core", "bin/tool", b"v%d" % n)
        kit.publish()
        r = kit.run([kit.srv.url])
        assert r.returncode == 0 and kit.installed("core", "bin/tool") == b"v%d" % n
        for d in (victim, lair) if n == 2 else (lair,):
            assert (d / "keep").exists() and f'"{d}" named in' in kit.log_text()
    assert_nothing_of_attacker(kit.inst)


def test_no_user_may_hold_the_lock_plant_a_program_or_read_a_password(nginx, scratch):
    kit = UpdateKit(scratch())  # reachable: the attacker may look into it
    kit.module("core", {"bin/tool": b"v1"}, pre="hook", post="mark post core")
    kit.srv, lair, lock = nginx(kit.publish()), scratch(attacker_uid()), kit.kept_index()
    kit.inst.mkdir(parents=True, exist_ok=True)
    kit.inst.chmod(0o1777)  # an installation open to all, as docs/security.md allows
    assert as_attacker(["sh", "-c", f"printf '#!/bin/sh\\ntouch {lair}/ran\\n' > {kit.inst}/hook"
                        f" && chmod 755 {kit.inst}/hook && cp {RECORDING} {lair}"]).returncode == 0
    secret = ["--share-username=u", "--share-userpass=Open Sesame", "--plain-pass=1"]
    log = ""
    for n in (1, 2):  # the second over a lock an earlier version left open to all
        Path(f"{lock}.lock").chmod(0o644) if n == 2 else None
        url = kit.srv.url.replace("://", "://u:TopSecret@")  # a password in the address
        assert kit.run([url], secret).returncode == 0, kit.log_text()
        log += kit.log_text()
        assert stat.S_IMODE(Path(f"{lock}.lock").stat().st_mode) == 0o600
        held = as_attacker(["flock", "-n", "-s", f"{lock}.lock", "true"])
        assert held.returncode != 0 and b"Permission denied" in held.stderr, held
    assert "Sesame" not in log and "--share-userpass=*** " in log
    assert "TopSecret" not in log and "://u:***@" in log
    assert not (lair / "ran").exists() and kit.markers() == ["post core"]
    assert f'module core is not run: "{kit.inst}/hook" is not a regular file' in log
    r = kit.run([kit.srv.url], [f"--guilib={lair}/{RECORDING.name}"], plugins=False)
    assert r.returncode == 255 and b"is not loaded" in r.stdout, r
    # A check by another user goes on without the lock it may not take.
    r = as_attacker([str(kit.bin / "updater")] + kit.args(
        [kit.srv.url], ["--checkdirty", f"--tmpdir={lair}/t", f"--logfile={lair}/log"]))
    assert r.returncode == 0 and "not this user's to take" in (lair / "log").read_text(), r


def reachable(path):
    """Lets every user pass through the directories above path (not list or write them)."""
    for parent in Path(path).parents:
        mode = parent.stat().st_mode
        if not mode & stat.S_IXOTH:
            parent.chmod(stat.S_IMODE(mode) | stat.S_IXOTH)


def test_links_beside_the_kept_index(nginx, scratch):
    # Out of pytest's own directory, which a parallel pytest may close to other users.
    tmp_path = scratch()
    from signedkit import sign, signed_kit
    kit = signed_kit(tmp_path / "k", lambda www: nginx(www).url)
    outside = tmp_path / "outside"
    outside.mkdir()
    secret = outside / "secret"
    secret.write_bytes(b"root's own\n")
    kept = kit.kept_index()
    reachable(kept)
    for d in (kit.inst, kept.parent):
        d.chmod(0o777)  # the attacker may rename and plant names here
    names = [kept.name + suffix for suffix in
             ("", ".new", ".pending", ".pending.new", ".trust", ".trust.new", ".lock")]
    plants = [(kept.parent / n, secret) for n in names] + [
        (kept.parent / (kept.name + ".partial"), outside), (kit.inst / ".update-partial", outside)]
    for version, (link, target) in enumerate(plants, 2):
        kit.set_file("core", "bin/tool", b"v%d\n" % version)
        kit.publish(extra=[sign(kit.k1)])
        if link.is_dir() and not link.is_symlink():
            shutil.rmtree(link)  # a directory of an earlier run's: the name is what is attacked
        for d in (kit.inst, kept.parent):
            d.chmod(0o777)
        planted = as_attacker(["sh", "-c", 'mv -f "$1" "$1.old" 2>/dev/null; ln -s "$2" "$1"',
                               "sh", str(link), str(target)])
        assert planted.returncode == 0 and link.is_symlink(), planted.stderr
        r = kit.run_signed()
        out = r.stdout.decode(errors="replace")
        assert secret.read_bytes() == b"root's own\n" and os.listdir(outside) == ["secret"]
        if r.returncode == 0:
            assert kit.installed("core", "tool") == b"v%d\n" % version, link
        else:  # refused, naming the file it would not use
            assert r.returncode == 255 and link.name in out, out
        if link.is_symlink():
            link.unlink()
        assert kit.markers() in ([], ["pre core", "post core"])
        kit.clear_markers()
        assert_nothing_of_attacker(kit.inst)


# Run by the attacker with the files to hold: opens what it may, waits for a line, then
# writes through every descriptor it holds.
HOLD_OPEN = ('for f; do exec {fd}<>"$f" && fds+=($fd); done 2>/dev/null; echo; read x; '
             'for fd in "${fds[@]}"; do echo "attacker\'s" >&$fd; done')


def test_links_and_held_files_planted_beside_the_targets(nginx, scratch):
    tmp_path = scratch()  # out of pytest's own directory, as above
    # In a sticky and a plain world-writable directory, at new and at replaced names: a link
    # to root's file outside, a held ".upd-new", dangling links at the target and at its
    # ".upd-new", a directory at ".upd-new" and a held file at the target. The downloads
    # are moved into place (same file system), then copied (from /dev/shm).
    for p in (tmp_path, *tmp_path.parents):
        p.chmod(p.stat().st_mode | 0o011)
    outside, made = tmp_path / "outside.txt", tmp_path / "made"
    outside.write_bytes(b"root's")
    kit, dirs, names = UpdateKit(tmp_path), ("sticky", "open"), list("abcd")
    srv, shm = nginx(kit.www), Path(tempfile.mkdtemp(dir="/dev/shm"))
    try:
        for n, tmp in enumerate([kit.tmp, kit.tmp, shm / "work"]):
            new, plant, held = [f"n{n}{x}" for x in "abcd"], [], []
            for d, (link, keep, dangling, blocked) in product(dirs, (names[:4], new) if n else ()):
                plant += [f"ln -sfn {outside} {d}/{link}", f"ln -sfn {made} {d}/{dangling}",
                          f"ln -sfn {made} {d}/.{dangling}.upd-new", f"rm -f {d}/{blocked}",
                          f"mkdir -p {d}/.{blocked}.upd-new/sub"]
                held += [f"{d}/.{keep}.upd-new", f"{d}/{blocked}"]
            as_attacker(["sh", "-c", "; ".join(plant)], cwd=kit.inst)
            holder = subprocess.Popen(attacker_argv(["bash", "-c", HOLD_OPEN, "-", *held]),
                                      cwd=kit.inst, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            holder.stdout.readline()
            names, kit.tmp = names + (new if n else []), tmp
            for d in dirs:
                kit.module(d, {f: f"{d}/{f} {n}".encode() for f in names})
            kit.publish()
            r = kit.run([srv.url])
            holder.communicate(b"\n", timeout=60)
            assert r.returncode == 0, kit.log_text()
            for d, mode in zip(dirs, (0o1777, 0o777)):  # the attacker's leftovers go
                (kit.inst / d).chmod(mode)
                for leftover in (kit.inst / d).glob(".*"):
                    shutil.rmtree(leftover) if leftover.is_dir() else leftover.unlink()
            assert outside.read_bytes() == b"root's" and not made.exists()
            assert_nothing_of_attacker(kit.inst)
            assert kit.installed_tree() == {f"{d}/{f}": f"{d}/{f} {n}".encode()
                                            for d in dirs for f in names}
            assert not any((kit.inst / d / f).is_symlink() for d in dirs for f in names)
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def test_fifos_at_installed_names_hold_no_run(nginx, scratch):
    # A FIFO at an installed file's name, and the attacker's link to one: the check reads
    # neither (it would wait for a writer forever, past any signal), finds both changed, and
    # the install refuses the FIFO by name. Once root removes it, the next run mends all.
    kit = UpdateKit(scratch())
    kit.module("open", {f: f.encode() for f in "abc"})
    srv = nginx(kit.publish())
    assert kit.run([srv.url]).returncode == 0, kit.log_text()
    (kit.inst / "open").chmod(0o777)
    lair = scratch(attacker_uid(), 0o777)
    assert as_attacker(["sh", "-c", f"rm a b && mkfifo a {lair}/p && ln -s {lair}/p b"],
                       cwd=kit.inst / "open").returncode == 0
    again = ["--IgnoreMasterIDX=1"]
    kit.run([srv.url], extra=[*again, "--checkdirty"], timeout=60)
    assert 'Local file "%s": checksum \n' % (kit.inst / "open/a") in kit.log_text()
    r = kit.run([srv.url], extra=again, timeout=60)
    assert r.returncode == 255 and b'open/a": it is not a regular file' in r.stdout, r.stdout
    (kit.inst / "open/a").unlink()
    assert kit.run([srv.url], extra=again, timeout=60).returncode == 0, kit.log_text()
    assert kit.installed_tree() == {f"open/{f}": f.encode() for f in "abc"}
    assert not (kit.inst / "open/b").is_symlink()
    # A FIFO at the kept master index: read as no index at all, and replaced.
    kept = kit.kept_index()
    kept.parent.chmod(0o777)
    assert as_attacker(["sh", "-c", f"rm -f {kept} && mkfifo {kept}"]).returncode == 0
    assert kit.run([srv.url], timeout=60).returncode == 0, kit.log_text()
    assert kept.is_file() and "The master index has changed" in kit.log_text()
    # A new module's destination the attacker made first, their file in it: root's file.
    assert as_attacker(["sh", "-c", "mkdir lib && echo mine >lib/tool"],
                       cwd=kit.inst / "open").returncode == 0
    kit.module("lib", {"bin/tool": b"v1"}, destination="%INSTALL_PATH%/open/lib")
    kit.publish()
    assert kit.run([srv.url], timeout=60).returncode == 0, kit.log_text()
    assert (kit.inst / "open/lib/tool").read_bytes() == b"v1"
    assert_nothing_of_attacker(kit.inst)
    # On a shared folder, a FIFO at a module file's name, then at the product info's: the
    # run names it instead of waiting for a writer.
    kit.set_file("lib", "bin/tool", b"v2")
    kit.publish()
    for fifo in (kit.server_file("lib", "bin/tool"), next(kit.www.rglob("*.info.gz"))):
        fifo.unlink()
        os.mkfifo(fifo)
        r = kit.run(["file://" + str(kit.www)], timeout=60)
        assert r.returncode != 0 and f"{fifo}: not a regular file" in kit.log_text()
        assert (kit.inst / "open/lib/tool").read_bytes() == b"v1"


def test_product_info_planted_beside_the_kept_index_is_not_read(nginx, scratch):
    # A copy beside the kept index with the digest the product file announces is read
    # instead of the server's, unless another user may have put it there (or a FIFO).
    kit = UpdateKit(scratch())
    www = kit.www
    kit.description = (lambda text=kit.description: text().replace(
        "[module]", f"[productfile]\nPATH = demo/product.txt\nSERVERS = file://{www}\n\n[module]"))
    kit.module("core", {"bin/tool": b"v1"})
    srv = nginx(kit.publish())
    argv = [str(kit.bin / "updater")] + [
        a for a in kit.args([], [f"--defaultsrv={srv.url}/", "--productfile=demo/product.txt"])
        if not a.startswith(("--productroot=", "--productinfofile="))]
    assert subprocess.run(argv, capture_output=True, timeout=60).returncode == 0, kit.log_text()
    kept = kit.kept_index()
    reachable(kept)
    kept.parent.chmod(0o777)
    copy = kept.parent / "demo.info"
    for version, plant in ((2, f"mkfifo {copy}"), (3, f"gzip -dc {www}/demo/demo.info.gz >{copy}")):
        kit.module("core", {"bin/tool": b"v%d" % version})
        kit.publish()
        assert as_attacker(["sh", "-c", plant]).returncode == 0
        r = subprocess.run(argv, capture_output=True, timeout=60)
        assert r.returncode == 0 and kit.installed("core", "tool") == b"v%d" % version, r
        assert f'The copy of the product info "{copy}" is not read' in kit.log_text()
        copy.unlink()
    assert_nothing_of_attacker(kit.inst)



def test_outputs_in_a_shared_directory_reach_nothing_else(nginx, scratch):
    tmp_path = scratch()
    kit = UpdateKit(tmp_path / "k")
    kit.module("core", {"bin/tool": b"v1\n"})
    kit.publish()
    srv = nginx(kit.www)
    shared, victim, fifo = tmp_path / "shared", tmp_path / "victim", tmp_path / "shared/m.prom"
    shared.mkdir(mode=0o1777)
    shared.chmod(0o1777)
    victim.write_bytes(b"root's own\n")
    # Root's link to a name the attacker made a link to root's file; the attacker's file at
    # the log's name; root's FIFO, held open by a reader that reads nothing (its buffer full).
    (shared / "r.json").symlink_to(shared / "host1.json")
    os.mkfifo(fifo)
    assert as_attacker(["sh", "-c", f"ln -s {victim} {shared}/host1.json; umask 0; "
                                    f"echo planted > {shared}/update.log"]).returncode == 0
    held = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    try:
        fcntl.fcntl(held, 1031, 4096)  # F_SETPIPE_SZ
        with contextlib.suppress(BlockingIOError):
            for _ in range(64):
                os.write(held, b"x" * 4096)
        kit.log = shared / "update.log"
        r = kit.run([srv.url], extra=[f"--report={shared}/r.json", f"--metrics={fifo}"])
    finally:
        os.close(held)
    log = kit.log_text()
    assert r.returncode == 0 and victim.read_bytes() == b"root's own\n", log
    assert "planted" not in log and kit.log.stat().st_uid == 0
    assert f"{shared}/host1.json" in log and f'"{fifo}": its reader took nothing for 10 seconds' in log

    # A report on standard output follows the run's lines, whatever the output went to.
    out = tmp_path / "cron.log"
    out.write_bytes(b"earlier runs\n")
    with open(out, "ab") as f:
        subprocess.run([str(kit.bin / "updater"), *kit.args([srv.url], ["--report=/dev/stdout"])],
                       stdout=f, stderr=f, timeout=60, check=True)
    text = out.read_text()
    assert text.startswith("earlier runs\n") and "stays at version 1.0" in text[:text.index("{")], text
    assert json.loads(text[text.index("{"):])["outcome"] == "success"

    # Root's links to the run's own streams are written through, never replaced: the log on
    # standard error, the report into the pipe a shell passed as a descriptor. An attacker's
    # FIFO at the log's name is replaced, not waited on. The attacker's link stays refused
    # when the file it leads to is one the run was given too.
    read_end, write_end = os.pipe()
    held = os.open(victim, os.O_RDWR)
    r = subprocess.run([str(kit.bin / "updater"), *kit.args([srv.url], [
        "--logfile=/dev/stderr", f"--report=/dev/fd/{write_end}",
        f"--metrics={shared}/r.json"])], pass_fds=(write_end, held),
        text=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    os.close(write_end)
    os.close(held)
    with os.fdopen(read_end) as report:
        assert r.returncode == 0 and json.loads(report.read())["outcome"] == "success", r.stderr
    assert "stays at version 1.0" in r.stderr and os.path.islink("/dev/stderr"), r.stderr
    assert f"{shared}/host1.json" in r.stderr and victim.read_bytes() == b"root's own\n"
    kit.log.unlink()
    assert as_attacker(["mkfifo", "-m", "666", str(kit.log)]).returncode == 0
    r = kit.run([srv.url])
    assert r.returncode == 0 and kit.log.is_file() and kit.log.stat().st_uid == 0, r.stderr
