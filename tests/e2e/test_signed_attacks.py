"""With trusted keys configured, every way a server (or the path to it) can lie about a
publication is refused: the run fails, the installation stays byte-identical, no module
command runs, and the message says which check failed."""

import re
import shutil

import pytest

import servers
from signedkit import index_lines, rewrite_info, sign, signed_kit, write_index
from updatekit import MASTERIDX, PRODUCTINFO


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
    v2(kit, kit.k1, extra=["--expires=0"])
    return "expired at"


def rollback(kit):
    old = kit.base / "old"
    shutil.copytree(kit.www, old)
    v2(kit, kit.k1)
    assert kit.run_signed().returncode == 0
    kit.clear_markers()
    kit.url = kit.srv2.url_for(old)
    return "lower than the serial 2"


def same_serial(kit):
    other = kit.base / "other"
    shutil.copytree(kit.www, other)
    v2(kit, kit.k1)
    assert kit.run_signed().returncode == 0
    kit.clear_markers()
    kit.set_file("core", "README", b"r3\n")
    kit.publish(www=other, extra=[sign(kit.k1)])
    kit.url = kit.srv2.url_for(other)
    return "accepted already with other content"


def mixed_info(kit):
    old_info = (kit.www / PRODUCTINFO).read_bytes()
    v2(kit, kit.k1)
    (kit.www / PRODUCTINFO).write_bytes(old_info)
    return "product info file"


def file_digest(kit):
    v2(kit, kit.k1)
    rewrite_info(kit.www, lambda t: re.sub(r'ZIPSHA256 value="\w+"', 'ZIPSHA256 value="' + "f" * 64
                                           + '"', t, count=1), kit.k1)
    return "does not match its signed SHA-256"


def huge_signature(kit):
    v2(kit, kit.k1)
    with open(kit.www / (MASTERIDX + ".minisig"), "a") as f:
        f.write("x" * 5000)
    return "more than the expected 4096 bytes"


def huge_index(kit):
    v2(kit, kit.k1)
    write_index(kit.www, index_lines(kit.www) + ["pad=" + "x" * 1000] * 1100, kit.k1)
    return "more than the expected 1048576 bytes"


@pytest.mark.parametrize("attack", [unsigned, tampered, untrusted, below_threshold, expired,
                                    rollback, same_serial, mixed_info, file_digest,
                                    huge_signature, huge_index])
def test_refused_without_a_trace(tmp_path, attack):
    with servers.Nginx(tmp_path) as srv:
        srv.url_for = lambda www: srv.url + "/" + str(www.relative_to(tmp_path))
        kit = signed_kit(tmp_path / "kit", srv.url_for)
        kit.srv2, kit.extra = srv, []
        expected = attack(kit)
        before = kit.installed_tree()
        r = kit.run_signed(extra=kit.extra)
        out = r.stdout.decode() + kit.log_text()
        assert r.returncode == 255, out
        assert expected in out
        assert kit.installed_tree() == before and kit.markers() == []
        assert "afterPre" not in kit.names() and "beforeInstallModule" not in kit.names()
