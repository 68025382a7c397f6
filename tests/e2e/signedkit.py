"""A signed product (keys k1, k2 trusted, k3 not; v1 signed by k1 and installed) and
helpers that rewrite a signed server tree as an attacker would."""

import gzip
import hashlib
import re
import subprocess
from pathlib import Path

from updatekit import MASTERIDX, PRODUCTINFO, UpdateKit, md5


def pub(base):
    return Path(f"{base}.pub")


def sign(base):
    return f"--sign-key={base}.key"


def signed_kit(base, url_of):
    """url_of(www) gives the server's URL for a tree; v1 is installed when it returns."""
    kit = UpdateKit(base)
    kit.k1, kit.k2, kit.k3 = (kit.new_key(n) for n in ("k1", "k2", "k3"))
    kit.trusted = kit.base / "trusted.pub"
    kit.trusted.write_text(pub(kit.k1).read_text() + pub(kit.k2).read_text())
    kit.module("core", {"bin/tool": b"v1\n", "README": b"r1\n"}, pre="mark pre core",
               post="mark post core")
    kit.publish(extra=[sign(kit.k1)])
    kit.url_of, kit.url = url_of, url_of(kit.www)
    assert kit.run_signed().returncode == 0, kit.log_text()
    kit.clear_markers()
    return kit


def run_signed(self, extra=(), url=None, **kw):
    return self.run([url or self.url], extra=[f"--trusted-keys={self.trusted}", *extra], **kw)


UpdateKit.run_signed = run_signed


def checked(lines):
    content = "".join(line + "\n" for line in lines)
    return content + "<" + md5(content.encode()) + "\n"


def index_lines(www):
    return (Path(www) / MASTERIDX).read_text().splitlines()[:-1]


def serial(www):
    return int(next(line for line in index_lines(www) if line.startswith("serial="))[7:])


def write_index(www, lines, key=None):
    """Writes the index (fixing its digest line) and, with a key, signs it with minisign."""
    idx = Path(www) / MASTERIDX
    idx.write_text(checked(lines))
    if key:
        subprocess.run(["minisign", "-S", "-s", f"{key}.key", "-m", str(idx), "-x",
                        f"{idx}.minisig"], check=True, capture_output=True)


def rewrite_info(www, change, key):
    """Applies change(text) to the product info document, fixes its MD5 line, names the new
    file's digest in the index and signs the index again with key."""
    info = Path(www) / PRODUCTINFO
    text = gzip.decompress(info.read_bytes()).decode()
    head = change(text[:text.index("<MD5 value=")])
    info.write_bytes(gzip.compress(
        (head + f'<MD5 value="{md5(head.encode())}"/></UPDATE>\n').encode()))
    digest = hashlib.sha256(info.read_bytes()).hexdigest()
    lines = [re.sub(r",[0-9a-f]{64}$", "," + digest, line)
             if line.startswith("productinfosha256=") else line for line in index_lines(www)]
    write_index(www, lines, key)
