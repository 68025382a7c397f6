"""A mirror is laid out like the server it copies: whatever form the server address has
(http with or without a path, file://, a plain path), every fetched file lands at the path
it has below the server's base address, product info files named by INCLUDE among them, so
the mirror served under the original base path installs byte-identical files."""

import hashlib
import re
import shutil
import subprocess

from run_available import requires_update_run
from test_hostile_server import info_text, write_info
from updatekit import MASTERIDX, PRODUCTINFO, UPDATEROOT, UpdateKit, tree

pytestmark = requires_update_run


def test_mirrors_of_every_server_form_install_like_the_server(tmp_path, nginx):
    # The server tree lies at <base>/site/www, so it is also reachable as http://host/www/.
    site = tmp_path / "site"
    www = site / "www"
    kit = UpdateKit(tmp_path / "k")
    kit.module("core", {"bin/tool": b"tool v1\n", "README": b"read me\n"})
    # A plain path is a server only as a product file names it (default-server mode).
    kit.description = (lambda text=kit.description: text().replace(
        "[module]", f"[productfile]\nPATH = demo/product.txt\nSERVERS = file://{www}\n\n"
        "[module]", 1))
    kit.publish()
    product_file = kit.www / "demo/product.txt"
    body = product_file.read_bytes().replace(b"file://", b"")
    body = body[:body.rindex(b"<")]
    product_file.write_bytes(body + b"<" + hashlib.md5(body).hexdigest().encode() + b"\n")
    extra = UpdateKit(tmp_path / "x")
    # An included product info file adds files to a module of the main one.
    extra.module("core", {"data/extra.bin": b"extra v1\n" * 50})
    extra.publish()
    shutil.copytree(kit.www, www)
    shutil.copy(extra.www / PRODUCTINFO, www / "demo/extra.info.gz")
    shutil.copytree(extra.www / UPDATEROOT / "core/data", www / UPDATEROOT / "core/data")
    kit.www = www
    text, n = re.subn(r'(<SOURCE value="core"/>\n)', '\\1  <INCLUDE value="extra.info.gz"/>\n',
                      info_text(kit))
    assert n == 1, text
    write_info(kit, text)
    served = {p: b for p, b in tree(www).items()
              if p in (MASTERIDX, PRODUCTINFO, "demo/extra.info.gz") or p.startswith(UPDATEROOT)}
    assert len(served) == 6, served

    root_srv, site_srv = nginx(www), nginx(site)
    forms = {"http": ([f"--url={root_srv.url}"], ""),
             "http-path": ([f"--url={site_srv.url}/www"], "www"),
             "file": ([f"--url=file://{www}"], ""),
             "path": ([f"--defaultsrv={root_srv.url}/", "--productfile=demo/product.txt"], "")}
    installation = kit.inst
    for form, (server, base_path) in forms.items():
        mirror_site = tmp_path / "mirror" / form
        kit.inst = mirror_site / base_path
        args = [a for a in kit.args([], server + ["--mirror=1"])
                if form != "path" or not a.startswith(("--productroot=", "--productinfofile="))]
        r = subprocess.run([str(kit.bin / "updater")] + args, env=kit.env(), cwd=kit.base,
                           capture_output=True, timeout=60)
        assert r.returncode == 0, (form, kit.log_text())
        mirrored = tree(kit.inst)
        expected = dict(served, **({"demo/product.txt": (www / "demo/product.txt").read_bytes()}
                                   if form == "path" else {}))
        assert {p: mirrored.get(p) for p in expected} == expected, (form, sorted(mirrored))

        # Served under the same base path, the mirror installs what the server does.
        mirror_srv = nginx(mirror_site)
        kit.inst = tmp_path / "installed" / form
        r = kit.run([mirror_srv.url + ("/" + base_path if base_path else "")])
        assert r.returncode == 0, (form, kit.log_text())
        assert kit.installed("core", "bin/tool") == b"tool v1\n"
        assert kit.installed("core", "data/extra.bin") == b"extra v1\n" * 50
    kit.inst = installation
