"""With trusted keys, every way a server can lie about a publication is refused: status
255, the installation byte-identical, no module command run, the failed check named."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

from signedkit import index_lines, rewrite_info, serial, sign, signed_kit, write_index
from updatekit import MASTERIDX, PRODUCTINFO, UpdateKit


def v2(kit, *keys, www=None, extra=()):
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(www=www, extra=[*(sign(k) for k in keys), *extra])


def unsigned(kit):
    v2(kit)
    return "is not signed"


def tampered(kit):
    v2(kit, kit.k1)
    write_index(kit.www, [line.replace("version=1.0", "version=9.9")
                          for line in index_lines(kit.www)])
    return "by the trusted key"


def untrusted(kit):
    v2(kit, kit.k3)
    return "which is not trusted"


def below_threshold(kit):
    v2(kit, kit.k1, kit.k1)  # one key twice counts once
    kit.extra = ["--trust-threshold=2"]
    return "signed by 1 distinct trusted keys, but 2 are required"


def expired(kit):
    v2(kit, kit.k1)
    write_index(kit.www, [re.sub(r"^expires=\d+$", "expires=1000", line)
                          for line in index_lines(kit.www)], kit.k1)
    return "expired at"


def accept_v2_keep_v1(kit):
    """Installs a signed v2 (serial 2); gives a copy of the v1 tree (serial 1)."""
    old = shutil.copytree(kit.www, kit.base / "old")
    v2(kit, kit.k1)
    assert kit.run_signed().returncode == 0
    kit.clear_markers()
    return old


def rollback(kit):
    kit.url = kit.url_of(accept_v2_keep_v1(kit))
    return f"lower than the serial {serial(kit.www)}"


def same_serial(kit):
    other = accept_v2_keep_v1(kit)
    kit.set_file("core", "README", b"r3\n")
    kit.publish(www=other, extra=[sign(kit.k1), f"--serial={serial(kit.www)}"])
    kit.url = kit.url_of(other)
    return "accepted already with other content"


def mixed_info(kit):
    old_info = (kit.www / PRODUCTINFO).read_bytes()
    v2(kit, kit.k1)
    for info in [kit.www / PRODUCTINFO, *(kit.www / "demo").glob("demo.info.*.gz")]:
        info.write_bytes(old_info)
    return "product info file"


def file_digest(kit):
    v2(kit, kit.k1)
    rewrite_info(kit.www, lambda t: re.sub(r'ZIPSHA256 value="\w+"', 'ZIPSHA256 value="' + "f" * 64
                                           + '"', t, count=1), kit.k1)
    return "does not match its signed SHA-256"


def other_product(kit):
    v2(kit, kit.k1)  # another product signed with the same key, at the same paths
    write_index(kit.www, [re.sub(r"^product=.*$", "product=Other", line)
                          for line in index_lines(kit.www)], kit.k1)
    return 'is signed for the product "Other", but this installation holds "Demo"'


def huge_signature(kit):
    v2(kit, kit.k1)
    for signature in (kit.www / "demo").glob("master.idx*.minisig"):
        with open(signature, "a") as f:
            f.write("x" * 5000)
    return "more than the expected 4096 bytes"


def huge_index(kit):
    v2(kit, kit.k1)
    write_index(kit.www, index_lines(kit.www) + ["pad=" + "x" * 1000] * 1100, kit.k1)
    return "more than the expected 1048576 bytes"


@pytest.mark.parametrize("attack", [unsigned, tampered, untrusted, below_threshold, expired,
                                    rollback, same_serial, mixed_info, file_digest,
                                    other_product, huge_signature, huge_index])
def test_refused_without_a_trace(tmp_path, nginx, attack):
    kit = signed_kit(tmp_path, lambda www: nginx(www).url)
    kit.extra = []
    expected = attack(kit)
    before = kit.installed_tree()
    own = [Path(f"{kit.kept_index()}{suffix}") for suffix in ("", ".trust", ".pending")]
    kept = [p.read_bytes() if p.exists() else None for p in own]
    r = kit.run_signed(extra=kit.extra)
    out = r.stdout.decode() + kit.log_text()
    assert r.returncode == 255 and expected in out, out
    if attack in (untrusted, below_threshold):  # said as it is, not as a mix-up of files
        assert expected in r.stdout.decode(), r.stdout
    assert kit.installed_tree() == before and kit.markers() == []
    # Refused at the index, the updater's own files stay as they were too.
    if attack not in (mixed_info, file_digest):
        assert [p.read_bytes() if p.exists() else None for p in own] == kept
    assert "afterPre" not in kit.names() and "beforeInstallModule" not in kit.names()


def test_product_file_of_another_publication(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    key, srv = kit.new_key("k"), nginx(kit.www)
    described = kit.description
    kit.description = lambda: described() + f"\n[productfile]\nPATH = demo/p.txt\nSERVERS = {srv.url}/\n"
    kit.module("core", {"bin/tool": b"v1\n"}, pre="mark pre core")
    kit.publish(extra=[sign(key)])
    old = (kit.www / "demo/p.txt").read_bytes()
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(key)])
    new = (kit.www / "demo/p.txt").read_bytes()
    (kit.www / "demo/p.txt").write_bytes(old)
    run = [kit.bin / "updater", f"--install-path={kit.inst}", f"--logfile={kit.log}",
           f"--tmpdir={kit.tmp}", f"--masteridx={MASTERIDX}", f"--defaultsrv={srv.url}/",
           "--productfile=demo/p.txt", f"--trusted-keys={key}.pub"]
    assert subprocess.run(run, cwd=tmp_path).returncode == 255
    assert "The product file" in kit.log_text()
    assert kit.installed_tree() == {} and kit.markers() == []
    (kit.www / "demo/p.txt").write_bytes(new)
    assert subprocess.run(run, cwd=tmp_path).returncode == 0 and kit.markers() == ["pre core"]
