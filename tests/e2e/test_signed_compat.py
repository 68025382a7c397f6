"""A signed tree installs without keys, verifies with minisign, mirrors byte for byte; a
keyed run fetches no signature when nothing changed and check-only never writes state.
Serials grow from one release directory to the next, and a tree caught between two
publications installs the release its index names."""

import re
import shutil
import subprocess
from pathlib import Path

from signedkit import pub, serial, sign, signed_kit
from updatekit import MASTERIDX, PRODUCTINFO, PUBLISH, UpdateKit, tree


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
    named = {k: v for k, v in tree(kit.www).items() if re.search(r"\.[0-9a-f]{16}\.", k)}
    assert len(named) == 2 and named.items() <= tree(mirror).items()
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
    before, accepted = state.read_bytes(), serial(kit.www)
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    assert kit.run_signed(["--checkdirty"]).returncode == 255
    assert state.read_bytes() == before and f"serial={accepted}\n".encode() in before

    # A key made by minisign itself signs as well.
    m = kit.base / "m"
    subprocess.run(["minisign", "-G", "-W", "-p", f"{m}.pub", "-s", f"{m}.key"], check=True,
                   capture_output=True)
    kit.trusted.write_bytes(pub(m).read_bytes())
    kit.publish(extra=[sign(m)])
    assert kit.run_signed().returncode == 0 and kit.installed("core", "tool") == b"v2\n"


def test_release_directories_take_growing_serials(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    key = kit.new_key("k")
    installs = [tmp_path / "a", tmp_path / "b"]
    releases = []
    for n in (1, 2, 3):
        kit.module("core", {"bin/tool": b"v%d\n" % n})
        releases.append(kit.publish(www=tmp_path / f"r{n}", extra=[sign(key)],
                                    previous=releases[-1:]))
        url = nginx(releases[-1]).url
        for inst in installs:
            r = kit.run([url], [f"--install-path={inst}", f"--trusted-keys={pub(key)}"])
            assert r.returncode == 0 and (inst / "core/tool").read_bytes() == b"v%d\n" % n
    serials = [serial(www) for www in releases]
    assert serials == sorted(set(serials))

    def publish(*options):
        return subprocess.run([PUBLISH, sign(key), *options, f"--previous={releases[-1]}",
                               kit.base / "demo.desc", kit.prod, tmp_path / "r4"],
                              capture_output=True, text=True)
    r = publish(f"--serial={serials[-1]}")
    assert r.returncode == 1 and str(releases[-1]) in r.stderr and not (tmp_path / "r4").exists()
    assert publish("--expires=0").returncode == 2
    assert publish(f"--serial={serials[-1] + 1}").returncode == 0
    assert serial(tmp_path / "r4") == serials[-1] + 1


def test_a_tree_between_two_publications_installs_what_its_index_names(tmp_path, nginx):
    url = lambda www: nginx(www).url  # noqa: E731
    kit = signed_kit(tmp_path / "kit", url)
    old = shutil.copytree(kit.www, tmp_path / "old")
    kit.set_file("core", "bin/tool", b"v2\n")
    kit.publish(extra=[sign(kit.k1)])
    # The new signature and product info are in place, the index and module files are
    # the old release's (a publication or copy half-way).
    mixed = shutil.copytree(kit.www, tmp_path / "mixed")
    for rel, data in tree(old).items():
        if rel not in (MASTERIDX + ".minisig", PRODUCTINFO):
            (mixed / rel).write_bytes(data)
    fresh = tmp_path / "fresh"
    r = kit.run_signed([f"--install-path={fresh}"], url=url(mixed))
    assert r.returncode == 0, kit.log_text()
    assert (fresh / "core/tool").read_bytes() == b"v1\n"
    assert f"serial={serial(old)}" in (fresh / (MASTERIDX + ".trust")).read_text()
    # Without the files named after its content the tree is refused, but not as an attack.
    for named in (mixed / "demo").glob("master.idx.*.minisig"):
        named.unlink()
    r = kit.run_signed([f"--install-path={tmp_path / 'other'}"], url=url(mixed))
    assert r.returncode == 255 and b"The server's files do not match each other" in r.stdout
    assert b"does not verify" not in r.stdout
    # A tree without such files (an earlier publisher's) gets those of its publication too.
    def named():
        return [p for p in (kit.www / "demo").iterdir() if re.search(r"\.[0-9a-f]{16}\.", p.name)]
    for path in named():
        path.unlink()
    kit.publish(extra=[sign(kit.k1)])
    assert len(named()) == 3  # the replaced index's signature, the new one's, the product info
