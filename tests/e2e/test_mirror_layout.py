"""Mirrors of every server form are laid out like the server and install like it."""

import hashlib
import re
import shutil
import subprocess

from test_hostile_server import info_text, write_info
from updatekit import MASTERIDX, PRODUCTINFO, UPDATEROOT, UpdateKit, tree


def test_mirrors_of_every_server_form(tmp_path, nginx):
    www = tmp_path / "site/www"  # also reachable as http://host/www/
    kit, extra = UpdateKit(tmp_path / "k"), UpdateKit(tmp_path / "x")
    kit.module("core", {"bin/tool": b"v1"})
    kit.description = (lambda text=kit.description: text().replace(
        "[module]", f"[productfile]\nPATH = demo/product.txt\nSERVERS = file://{www}\n\n[module]"))
    kit.publish()
    extra.module("core", {"data/extra.bin": b"x1"})  # merged into "core" through INCLUDE
    extra.publish()
    shutil.copytree(kit.www, www)
    shutil.copy(extra.www / PRODUCTINFO, www / "demo/extra.info.gz")
    shutil.copytree(extra.www / UPDATEROOT / "core/data", www / UPDATEROOT / "core/data")
    kit.www = www
    write_info(kit, re.sub(r'(<SOURCE value="core"/>\n)', '\\1<INCLUDE value="extra.info.gz"/>\n',
                           info_text(kit)))
    body = (www / "demo/product.txt").read_bytes().replace(b"file://", b"")  # a plain path
    body = body[:body.rindex(b"<")]
    (www / "demo/product.txt").write_bytes(body + b"<%s\n" % hashlib.md5(body).hexdigest().encode())
    served = tree(www)
    root, site = nginx(www).url, nginx(tmp_path / "site").url
    for form, server, base in [("http", [f"--url={root}"], ""), ("path", [f"--url={site}/www"], "www"),
                               ("file", [f"--url=file://{www}"], ""),
                               ("plain", [f"--defaultsrv={root}/", "--productfile=demo/product.txt"], "")]:
        kit.inst = tmp_path / "mirror" / form / base
        args = [a for a in kit.args([], server + ["--mirror=1"]) if form != "plain"
                or not a.startswith(("--productroot=", "--productinfofile="))]
        r = subprocess.run([str(kit.bin / "updater")] + args, capture_output=True, timeout=60)
        assert r.returncode == 0, (form, kit.log_text())
        mirrored = tree(kit.inst)
        assert all(mirrored[p] == b for p, b in served.items() if p != "demo/product.txt"
                   or form == "plain"), (form, sorted(mirrored))
        kit.inst = tmp_path / "installed" / form
        assert kit.run([nginx(tmp_path / "mirror" / form).url + "/" + base]).returncode == 0
        assert kit.installed("core", "bin/tool") == b"v1" and kit.installed("core", "extra.bin")

    # A failed mirror run (a damaged file on the server) serves the index it completed last.
    kit.inst = mirror = tmp_path / "mirror" / "http"
    served = (mirror / MASTERIDX).read_bytes()
    kit.module("core", {"bin/tool": b"v2"})
    kit.publish()
    good = kit.server_file("core", "bin/tool").read_bytes()
    kit.server_file("core", "bin/tool").write_bytes(b"damaged")
    assert kit.run([root], extra=["--mirror=1"]).returncode == 255
    assert (mirror / MASTERIDX).read_bytes() == served
    kit.server_file("core", "bin/tool").write_bytes(good)
    assert kit.run([root], extra=["--mirror=1"]).returncode == 0
    assert (mirror / MASTERIDX).read_bytes() == (www / MASTERIDX).read_bytes()
    # Pointed at an installation by mistake, a mirror run is refused: it still updates.
    kit.inst = tmp_path / "installed" / "http"
    r = kit.run([root], extra=["--mirror=1"])
    assert r.returncode == 255 and b"holds an installation" in r.stdout, r.stdout
    assert kit.run([root]).returncode == 0 and kit.installed("core", "bin/tool") == b"v2"
    # A product file's update root that climbs out of the mirror is refused.
    body = body.replace(b"updateroot=demo/files", b"updateroot=demo/../../../out")
    (www / "demo/product.txt").write_bytes(body + b"<%s\n" % hashlib.md5(body).hexdigest().encode())
    kit.inst = tmp_path / "mirror" / "evil"
    args = [a for a in kit.args([], [f"--defaultsrv={root}/", "--productfile=demo/product.txt",
                                     "--mirror=1"])
            if not a.startswith(("--productroot=", "--productinfofile="))]
    r = subprocess.run([str(kit.bin / "updater")] + args, capture_output=True, timeout=60)
    assert r.returncode == 255 and b'"demo/../../../out" leads out' in r.stdout, r
    assert not (tmp_path / "out").exists() and not (tmp_path / "mirror/out").exists()
