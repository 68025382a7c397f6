"""The temporary and backup directories given on the command line may already hold the
user's files (a shared scratch directory, a home directory). A run works in them but
removes only what it put there: after a successful update, and after a failed one that
was rolled back, the user's files are there byte for byte and nothing of the run is."""

from pathlib import Path

import pytest

from updatekit import UpdateKit, tree

V1 = {"base": {"lib/liba.so": b"a1" * 300}, "core": {"bin/tool": b"#!/bin/sh\necho v1\n"}}
V2 = {"base": {"lib/liba.so": b"a2" * 300}, "core": {"bin/tool": b"#!/bin/sh\necho v2\n"}}

USER_FILES = {"notes.txt": b"the user's notes\n", "sub/keep.bin": b"\x00\x01keep",
              ".hidden": b"dot file\n"}


def with_user_files(directory):
    for rel, data in USER_FILES.items():
        p = Path(directory) / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)


def assert_only_user_files(kit):
    for d in (kit.tmp, kit.backup):
        assert tree(d) == USER_FILES, d
        # No directory of the run is left either (only the user's "sub").
        assert sorted(p.name for p in Path(d).rglob("*") if p.is_dir()) == ["sub"], d


@pytest.fixture
def kit(tmp_path, nginx):
    """The user's directories in place, v1 installed through them, v2 published."""
    kit = UpdateKit(tmp_path)
    with_user_files(kit.tmp)
    with_user_files(kit.backup)
    for name in ("base", "core"):
        kit.module(name, V1[name])
    kit.publish()
    kit.url = nginx(kit.www).url
    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert_only_user_files(kit)
    for name in ("base", "core"):
        kit.module(name, V2[name])
    kit.publish()
    kit.before = kit.installed_tree()
    return kit


def test_successful_update_keeps_the_users_files(kit):
    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    for name in ("base", "core"):
        for path, data in V2[name].items():
            assert kit.installed(name, path) == data
    assert ".updater-owned" not in "".join(kit.installed_tree())
    assert_only_user_files(kit)


def test_rolled_back_update_keeps_the_users_files(kit):
    # The first module's installation step fails after its files were installed: they are
    # restored from the backup copies in the user's backup directory.
    r = kit.run([kit.url], answers="gui.afterInstallModule=1")
    assert r.returncode == 255
    assert "LIB beforeRollback()" in kit.run_events()
    assert kit.installed_tree() == kit.before
    assert_only_user_files(kit)


def test_directories_the_run_created_are_removed_whole(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("base", V1["base"])
    kit.publish()
    url = nginx(kit.www).url
    r = kit.run([url])
    assert r.returncode == 0, kit.log_text()
    assert not kit.tmp.exists() and not kit.backup.exists()
    # A killed run's temporary directory whose owner marker was lost: the run finds it in
    # place, and its empty directories go with what the run put there.
    (kit.tmp / "upd" / "base" / "lib").mkdir(parents=True)
    kit.module("base", V2["base"])
    kit.publish()
    assert kit.run([url]).returncode == 0, kit.log_text()
    assert not kit.tmp.exists()


def test_backup_directory_inside_the_installation_goes_after_a_killed_run(tmp_path, nginx):
    # Where the backup directory is by default: inside the installation. A run killed while
    # backing up leaves its copies there; the next run, which made the directory too,
    # removes it whole once the update is done.
    kit = UpdateKit(tmp_path)
    kit.backup = kit.inst / "backup"
    for name in ("base", "core"):
        kit.module(name, V1[name])
    kit.publish()
    kit.url = nginx(kit.www).url
    assert kit.run([kit.url]).returncode == 0, kit.log_text()
    assert not kit.backup.exists()
    for name in ("base", "core"):
        kit.module(name, V2[name])
    kit.publish()

    r = kit.run([kit.url], env={"UPD_REC_KILL": "gui.afterBackup#1"})
    assert r.returncode == -9, (r.returncode, kit.log_text())
    assert tree(kit.backup), "the killed run left no backup copy to clean up"

    r = kit.run([kit.url])
    assert r.returncode == 0, kit.log_text()
    assert not kit.backup.exists()
    assert not kit.tmp.exists()
    for name in ("base", "core"):
        for path, data in V2[name].items():
            assert kit.installed(name, path) == data
