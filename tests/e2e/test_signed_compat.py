"""A signed publication stays what it was for everyone else: an updater without keys
installs it, minisign verifies its index, a mirror copies its signatures byte for byte and
serves a tree that a keyed updater accepts. A keyed updater that finds nothing changed
fetches no signature, and a check-only run never writes the trusted state."""

import subprocess

from signedkit import pub, sign, signed_kit
from updatekit import MASTERIDX


def test_signed_tree_for_old_updaters_minisign_and_mirrors(tmp_path, nginx):
    url = lambda www: nginx(www).url  # noqa: E731
    kit = signed_kit(tmp_path / "kit", url)
    idx = kit.www / MASTERIDX
    assert subprocess.run(["minisign", "-V", "-p", str(pub(kit.k1)), "-m", str(idx)],
                          capture_output=True).returncode == 0

    # An updater given no keys installs the signed tree as any other.
    plain = tmp_path / "plain"
    r = kit.run([kit.url], [f"--install-path={plain}"])
    assert r.returncode == 0 and (plain / "core" / "tool").read_bytes() == b"v1\n"

    # A mirror keeps the signatures; a keyed updater installs from it.
    mirror = tmp_path / "mirror"
    assert kit.run([kit.url], ["--mirror=1", f"--install-path={mirror}"]).returncode == 0
    assert (mirror / (MASTERIDX + ".minisig")).read_bytes() == \
        (kit.www / (MASTERIDX + ".minisig")).read_bytes()
    fresh = tmp_path / "fresh"
    r = kit.run_signed([f"--install-path={fresh}"], url=url(mirror))
    assert r.returncode == 0, kit.log_text()
    assert (fresh / "core" / "tool").read_bytes() == b"v1\n"

    # Nothing changed: no signature is fetched again.
    r = kit.run_signed()
    assert r.returncode == 0 and "downloadNothingChanged" in kit.names()
    assert not [a for _, n, a in kit.events() if n == "downloadFile" and "minisig" in a]

    # A check-only run reads the trusted state and leaves it as it was.
    state = kit.inst / (MASTERIDX + ".trust")
    before = state.read_bytes()
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    assert kit.run_signed(["--checkdirty"]).returncode == 255
    assert state.read_bytes() == before and b"serial=1\n" in before
