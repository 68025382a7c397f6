"""The server's files change while a run is under way, between the product info and the
download of the module files (a stale mirror copy, or a new release published mid-run):
the digests of the product info no longer fit, the run fails verification before anything
is installed, cleans up and forgets the index it fetched; the next run converges to what
the server then consistently holds.

The recording plug-in changes the server tree at the exact moment
(UPD_REC_SHELL_lib_notifyProductInfoFile: right after the product info was read)."""

import shlex

import pytest

from updatekit import KEPT_RECORDS, MASTERIDX, UpdateKit

V1 = {"base": {"lib/liba.so": b"a1" * 300, "lib/libb.so": b"b1\n"},
      "core": {"bin/tool": b"tool v1\n", "README": b"read me\n"}}
V2 = {"base": {"lib/liba.so": b"a2" * 300, "lib/libb.so": b"b2\n"},
      "core": {"bin/tool": b"tool v2\n", "README": b"read me\n"}}
V3 = {"base": {"lib/liba.so": b"a3" * 300, "lib/libb.so": b"b2\n"},
      "core": {"bin/tool": b"tool v3\n", "README": b"read me v3\n"}}


def flat(version):
    return {f"{m}/{path.rsplit('/', 1)[-1]}": data
            for m, files in version.items() for path, data in files.items()}


def publish(kit, version, www=None):
    for name, files in version.items():
        kit.module(name, files)
    return kit.publish(www)


@pytest.fixture
def kit(tmp_path, nginx):
    """V1 installed, V2 on the server; V1 and V3 published aside (other releases)."""
    kit = UpdateKit(tmp_path)
    publish(kit, V1)
    kit.url = nginx(kit.www).url
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    assert kit.installed_tree() == flat(V1)
    kit.www1 = publish(kit, V1, kit.base / "www1")
    kit.www3 = publish(kit, V3, kit.base / "www3")
    publish(kit, V2)
    return kit


def assert_failed_untouched(kit, r):
    assert r.returncode == 255, (r.returncode, kit.log_text())
    damaged = kit.tmp / "demo/files/base/lib/liba.so.gz"
    assert f'The file "{damaged}" is damaged' in kit.log_text()
    assert kit.installed_tree() == flat(V1)
    assert "GUI beforeInstallModule(\"base\")" not in kit.run_events()
    # The failed run cleans up too, and does not keep the index that it could not finish.
    assert not kit.tmp.exists()
    assert not kit.backup.exists()
    assert not kit.kept_index().exists()


def assert_converges(kit, version):
    r = kit.run([kit.url])
    assert r.returncode == 0, (r.stdout, kit.log_text())
    assert kit.installed_tree() == {**flat(V1), **flat(version)}
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not (kit.inst / (MASTERIDX + ".pending")).exists()
    assert not kit.tmp.exists()
    assert not kit.backup.exists()
    # Beside the kept index nothing either (no marker, no half-written copy).
    assert sorted(p.name for p in kit.kept_index().parent.iterdir()
                  if p.name not in KEPT_RECORDS) == ["master.idx", "master.idx.lock"]
    r = kit.run([kit.url])
    assert r.returncode == 0
    assert "LIB downloadNothingChanged()" in kit.run_events()


def test_module_file_replaced_by_another_release_fails_verification(kit):
    # A stale mirror: V1's liba.so.gz served under V2's product info.
    stale = kit.server_file("base", "lib/liba.so", kit.www1)
    target = kit.server_file("base", "lib/liba.so")
    r = kit.run([kit.url], env={"UPD_REC_SHELL_lib_notifyProductInfoFile":
                                f"cp {shlex.quote(str(stale))} {shlex.quote(str(target))}"})
    assert_failed_untouched(kit, r)

    # The server is made whole again: the next run installs V2.
    publish(kit, V2)
    assert_converges(kit, V2)


def test_release_published_mid_run_fails_verification_then_installs_it(kit):
    # V3 replaces V2 on the server (index, product info and module files) while the run
    # holds V2's product info.
    r = kit.run([kit.url], env={"UPD_REC_SHELL_lib_notifyProductInfoFile":
                                f"cp -R {shlex.quote(str(kit.www3))}/. {shlex.quote(str(kit.www))}"})
    assert_failed_untouched(kit, r)
    assert (kit.www / MASTERIDX).read_bytes() == (kit.www3 / MASTERIDX).read_bytes()
    assert_converges(kit, V3)


def test_release_published_between_index_and_product_info_converges(kit):
    # V3 replaces V2 right after the run read V2's index: the product info and the module
    # files it then fetches are V3's, fit together and are installed.
    r = kit.run([kit.url], env={"UPD_REC_SHELL_lib_notifyMasterIdxContent":
                                f"cp -R {shlex.quote(str(kit.www3))}/. {shlex.quote(str(kit.www))}"})
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == {**flat(V1), **flat(V3)}
    assert not kit.tmp.exists()
    assert not kit.backup.exists()
    # The next run sees V3's index, finds every file in place and keeps that index.
    assert_converges(kit, V3)
