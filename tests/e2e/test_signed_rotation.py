"""Key rotation: the product ships its trusted-keys file as one of its own files. While
the keys overlap, publications are signed by the outgoing and the incoming key and ship
both; then the incoming key alone signs and the file holds only it. A publication signed
by the dropped key is refused from then on."""

from signedkit import pub, sign
from updatekit import UpdateKit


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
    # Whoever still holds the old key cannot publish any more.
    r = release(b"evil\n", [old], [old])
    assert r.returncode == 255 and "which is not trusted" in kit.log_text()
    assert kit.installed("core", "tool") == b"v3\n" and keys.read_bytes() == pub(new).read_bytes()
