"""Key rotation with the trusted-keys file shipped as a product file: an overlap signed by
both keys, then the new key alone; the dropped key can publish nothing any more."""

import subprocess

from signedkit import pub, sign
from updatekit import MASTERIDX, UpdateKit


def test_rotation_from_one_key_to_the_next(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    old, new = kit.new_key("old"), kit.new_key("new")
    keys = kit.inst / "keys" / "trusted.pub"
    keys.parent.mkdir()
    keys.write_bytes(pub(old).read_bytes())  # what the product's installer put there
    url = nginx(kit.www).url

    def release(tool, shipped, signers):
        kit.module("keys", {"trusted.pub": b"".join(pub(k).read_bytes() for k in shipped)})
        kit.module("core", {"bin/tool": tool})
        kit.publish(extra=[sign(k) for k in signers])
        return kit.run([url], [f"--trusted-keys={keys}"])

    assert release(b"v1\n", [old], [old]).returncode == 0
    # Overlap: both keys sign, both are shipped; the new key is not trusted yet here.
    assert release(b"v2\n", [old, new], [old, new]).returncode == 0
    assert keys.read_bytes() == pub(old).read_bytes() + pub(new).read_bytes()
    # The old key is dropped.
    assert release(b"v3\n", [new], [new]).returncode == 0
    assert keys.read_bytes() == pub(new).read_bytes()
    assert kit.installed("core", "tool") == b"v3\n"
    # The overlap's second signature goes; its copy named after its index stays until the
    # next publication, when it goes too.
    index = kit.www / MASTERIDX
    assert not index.with_name("master.idx.minisig.2").exists()
    assert len(list(index.parent.glob("master.idx.*.minisig.2"))) == 1
    assert subprocess.run(["minisign", "-V", "-p", pub(new), "-m", index],
                          capture_output=True).returncode == 0
    # Whoever still holds the old key cannot publish any more.
    r = release(b"evil\n", [old], [old])
    assert not list(index.parent.glob("master.idx.*.minisig.2"))
    assert r.returncode == 255 and "which is not trusted" in kit.log_text()
    assert kit.installed("core", "tool") == b"v3\n" and keys.read_bytes() == pub(new).read_bytes()
