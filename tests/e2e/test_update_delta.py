"""Delta updates over nginx: a tree published with patches from the installed version
(update-publish --previous) updates through the patches to exactly the tree a full update
gives; every way a patch can fail falls back to the file's ".gz"; --delta=0 ignores them."""

import hashlib
import json
import random
import re
import shutil

import pytest

from run_available import requires_update_run
from signedkit import sign, signed_kit
from updatekit import BUILD, PRODUCTINFO, UPDATEROOT, UpdateKit, info_text, write_info

pytestmark = requires_update_run
PROGRESS = BUILD / "plugins" / "libupdater-progress.so"

_rnd = random.Random(24)
LIB1 = _rnd.randbytes(200000)
LIB2 = LIB1[:20000] + b"patched!" + LIB1[20008:] + b"appended"
CONF1 = "".join(f"option_{i} = value {i}\n" for i in range(400)).encode()
CONF2 = CONF1.replace(b"option_7 = value 7\n", b"option_7 = changed\n")
# Nothing of "tool" survives: its patch would not be smaller than its ".gz".
V1 = {"lib/libx.so": LIB1, "etc/app.conf": CONF1, "bin/tool": _rnd.randbytes(200)}
V2 = {"lib/libx.so": LIB2, "etc/app.conf": CONF2, "bin/tool": _rnd.randbytes(200)}
EXPECTED = {f"core/{p.rsplit('/', 1)[-1]}": d for p, d in V2.items()}


def installed_v1_with_deltas(base, nginx):
    """Version 1 installed; version 2 published over it with patches from version 1."""
    kit = UpdateKit(base)
    kit.module("core", V1)
    kit.publish()
    kit.srv = nginx(kit.www)
    assert kit.run([kit.srv.url]).returncode == 0, kit.log_text()
    kit.v1 = shutil.copytree(kit.www, base / "v1")
    for path, data in V2.items():
        kit.set_file("core", path, data)
    kit.publish(previous=[kit.www])
    return kit


def patch_file(kit, path):
    found = sorted((kit.www / UPDATEROOT / "core").glob(path + ".*.patch"))
    assert len(found) == 1, found
    return found[0]


def fetched(kit):
    """The server paths the run asked the plug-in to fetch, and the announced size."""
    ev = kit.events()
    urls = [a.split(", ")[0].strip('"') for _, n, a in ev if n == "downloadFile"]
    size = [int(a.rsplit(", ", 1)[1]) for _, n, a in ev if n == "onStartDownloadFiles"]
    return [u.split(UPDATEROOT + "/", 1)[-1] for u in urls], size[0]


def counted(kit):
    """The bytes the progress counts: the blocks between the announcement and the end."""
    names = [n for _, n, _ in kit.events()]
    ev = kit.events()[names.index("onStartDownloadFiles"):names.index("onFinishDownloadFiles")]
    return sum(int(a.rsplit(", ", 1)[1]) for _, n, a in ev if n == "onDownloadFile")


def test_update_through_patches_gives_the_tree_of_a_full_update(tmp_path, nginx):
    kit = installed_v1_with_deltas(tmp_path / "delta", nginx)
    full, shown = UpdateKit(tmp_path / "full"), UpdateKit(tmp_path / "shown")
    for copy in (full, shown):
        shutil.rmtree(copy.inst)
        shutil.copytree(kit.inst, copy.inst)
    lib, conf = patch_file(kit, "lib/libx.so"), patch_file(kit, "etc/app.conf")
    # The patches are listed with their size and SHA-256; "tool" has none.
    text = info_text(kit)
    for p in (lib, conf):
        assert (f'SIZE="{p.stat().st_size}" SHA256="{hashlib.sha256(p.read_bytes()).hexdigest()}"'
                in text)
    assert not list((kit.www / UPDATEROOT / "core" / "bin").glob("*.patch"))

    r = kit.run([kit.srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == EXPECTED
    paths, size = fetched(kit)
    tool_gz = kit.server_file("core", "bin/tool")
    assert sorted(p for p in paths if "core/" in p) == sorted(
        ["core/lib/" + lib.name, "core/etc/" + conf.name, "core/bin/tool.gz"])
    # The patches come before the announcement, which counts what follows it: the one
    # whole file.
    assert size == counted(kit) == tool_gz.stat().st_size
    assert lib.stat().st_size * 20 < kit.server_file("core", "lib/libx.so").stat().st_size
    assert "whole" not in r.stdout.decode()
    # The progress plug-in shows the patches apart from the whole file it counts.
    r = shown.run([kit.srv.url], plugins=False, extra=[f"--guilib={PROGRESS}"])
    assert r.returncode == 0 and shown.installed_tree() == EXPECTED, shown.log_text()
    assert re.search(r"Fetched 2 patches \(.+\) to rebuild changed files\nDownloading 1 file \("
                     + f"{tool_gz.stat().st_size} B", r.stderr.decode()), r.stderr

    # --delta=0 takes the ".gz" files of the same tree to the same result.
    r = full.run([kit.srv.url], extra=["--delta=0"])
    assert r.returncode == 0, full.log_text()
    assert full.installed_tree() == EXPECTED
    assert not [p for p in fetched(full)[0] if p.endswith(".patch")]

    # A mirror of the tree copies the patches too.
    mirror = UpdateKit(tmp_path / "mirror")
    report = tmp_path / "mirror.json"
    r = mirror.run([kit.srv.url], extra=["--mirror=1", f"--report={report}"])
    assert r.returncode == 0, mirror.log_text()
    for p in (lib, conf):
        assert (mirror.inst / p.relative_to(kit.www)).read_bytes() == p.read_bytes()
    patches = sum(p.stat().st_size for p in kit.www.rglob("*.patch"))
    assert json.loads(report.read_text())["bytes_patches"] == patches
    # A patch it lacks (a run stopped, or added to the release since) is fetched alone,
    # its file being no change, and one the server lacks too costs a run only the request.
    mirrored = mirror.inst / lib.relative_to(kit.www)
    gz_inode = (mirrored.parent / "libx.so.gz").stat().st_ino

    def mirror_again():
        r = mirror.run([kit.srv.url], extra=["--mirror=1", "--IgnoreMasterIDX=1"])
        urls = [a.split(", ")[0] for _, n, a in mirror.events() if n == "downloadFile"]
        assert r.returncode == 0 and "downloadNothingChanged" in [n for _, n, _ in mirror.events()]
        assert (mirrored.parent / "libx.so.gz").stat().st_ino == gz_inode
        return [u.split(UPDATEROOT + "/", 1)[-1].strip('"') for u in urls if UPDATEROOT in u]
    mirrored.unlink()
    assert mirror_again() == ["core/lib/" + lib.name] and mirrored.read_bytes() == lib.read_bytes()
    mirrored.unlink()
    lib.rename(tmp_path / "patch")
    assert mirror_again() == ["core/lib/" + lib.name] and not mirrored.exists()
    assert not list(mirror.inst.rglob("*.new"))
    (tmp_path / "patch").rename(lib)

    # Each pair of versions has a patch of its own. The next release keeps the patch whose
    # versions are the same (app.conf did not change) and removes the one to version 2.
    md5 = lambda data: hashlib.md5(data).hexdigest()
    assert lib.name == f"libx.so.{md5(LIB1)}-{md5(LIB2)}.patch"
    kit.set_file("core", "lib/libx.so", LIB2 + b"v3")
    kit.publish(previous=[kit.v1])
    assert patch_file(kit, "lib/libx.so").name == f"libx.so.{md5(LIB1)}-{md5(LIB2 + b'v3')}.patch"
    assert not lib.exists() and conf.exists()


def raw_frame(content, window_log):
    """A zstd frame holding `content` in raw blocks, asking for a 2^window_log window."""
    frame = b"\x28\xb5\x2f\xfd\x80" + bytes([(window_log - 10) << 3])
    frame += len(content).to_bytes(4, "little")
    for at in range(0, len(content), 65536):
        piece = content[at:at + 65536]
        last = at + 65536 >= len(content)
        frame += (last | (len(piece) << 3)).to_bytes(3, "little") + piece
    return frame


def replace_patch(kit, path, data):
    """Puts other bytes in the patch's place, and its size and digest in the record."""
    p = patch_file(kit, path)
    old = p.read_bytes()
    p.write_bytes(data)
    text = info_text(kit).replace(
        f'SIZE="{len(old)}" SHA256="{hashlib.sha256(old).hexdigest()}"',
        f'SIZE="{len(data)}" SHA256="{hashlib.sha256(data).hexdigest()}"')
    write_info(kit, text)


# How each case spoils the patch of libx.so, and what the fallback line says.
CASES = {
    "missing": (lambda kit: patch_file(kit, "lib/libx.so").unlink(), "404"),
    "corrupt": (lambda kit: patch_file(kit, "lib/libx.so").write_bytes(
        b"x" * patch_file(kit, "lib/libx.so").stat().st_size), "does not have the size and digest"),
    "wrong result": (lambda kit: replace_patch(kit, "lib/libx.so", raw_frame(
        b"y" * len(LIB2), 20)), "rebuilt from its patch does not have the size and digest"),
    "window too large": (lambda kit: replace_patch(kit, "lib/libx.so", raw_frame(LIB2, 28)),
                         "cannot be applied: Frame requires too much memory"),
    "base changed": (None, "is missing or changed since the check"),
    "base missing": (lambda kit: (kit.inst / "core" / "libx.so").unlink(), None),
    # Another user could shorten it under the run's mapping of it.
    "base others may write": (lambda kit: (kit.inst / "core" / "libx.so").chmod(0o666),
                              "another user may write it"),
}


@pytest.mark.parametrize("case", CASES)
def test_a_patch_that_cannot_be_used_falls_back_to_the_whole_file(tmp_path, nginx, case):
    kit = installed_v1_with_deltas(tmp_path, nginx)
    spoil, reason = CASES[case]
    env = {}
    if spoil:
        spoil(kit)
    else:
        # Between the check and the download the installed copy changes.
        env["UPD_REC_SHELL_onCheckFilesDone"] = f"echo local >> {kit.inst}/core/libx.so"
    r = kit.run([kit.srv.url], env=env)
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == EXPECTED
    paths, size = fetched(kit)
    assert "core/lib/libx.so.gz" in paths
    # The progress announces and counts the whole files, the fallback's among them.
    assert size == counted(kit) == sum(
        kit.server_file("core", p).stat().st_size for p in ("lib/libx.so", "bin/tool"))
    out = r.stdout.decode()
    if reason:
        # Said at info level: on standard output and in the log.
        line = f"Fetching {kit.srv.url.rstrip('/')}/{UPDATEROOT}/core/lib/libx.so.gz whole"
        assert line in out and reason in out, out
    else:
        assert "whole" not in out
    # The other file still came through its patch.
    assert any(p.endswith(".patch") and "app.conf" in p for p in fetched(kit)[0])


def test_a_signed_publication_covers_its_patches(tmp_path, nginx):
    kit = signed_kit(tmp_path, lambda www: nginx(www).url)
    kit.set_file("core", "bin/tool", LIB1)
    kit.publish(extra=[sign(kit.k1)])
    assert kit.run_signed().returncode == 0, kit.log_text()
    kit.set_file("core", "bin/tool", LIB2)
    kit.publish(extra=[sign(kit.k1)], previous=[kit.www])
    patch = patch_file(kit, "bin/tool")
    info, good = kit.www / PRODUCTINFO, patch.read_bytes()
    signed_info = info.read_bytes()

    # A patch swapped together with its digest in the product info (and in its copies
    # named after content): the signed index no longer names that product info, so
    # nothing is fetched from it.
    replace_patch(kit, "bin/tool", raw_frame(b"z" * len(LIB2), 20))
    copies = {p: p.read_bytes() for p in info.parent.glob("demo.info.*.gz")}
    for copy in copies:
        copy.write_bytes(info.read_bytes())
    assert kit.run_signed().returncode != 0
    assert kit.installed("core", "bin/tool") == LIB1
    info.write_bytes(signed_info)
    for copy, data in copies.items():
        copy.write_bytes(data)
    patch.write_bytes(good)
    assert kit.run_signed().returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == LIB2
    assert any(p.endswith(".patch") for p in fetched(kit)[0])
