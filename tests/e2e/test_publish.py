"""update-publish end to end: the real executable on a small product, the tree checked with
independent readers (gzip, hashlib, ElementTree) against the formats the updater reads."""

import gzip
import hashlib
import os
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("UPDATER_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
PUBLISH = BUILD / "update-publish"

DESCRIPTION = """\
; demo product
[product]
NAME = Demo & Co
VERSION = 1.0
UPDATEROOT = demo/files
PRODUCTINFO = demo/demo.info.gz
MASTERIDX = demo/master.idx

[productfile]
PATH = demo/product.txt
SERVERS = http://127.0.0.1:9/, http://127.0.0.1:10/

[module]
NAME = core
SOURCE = core
DESTINATION = %INSTALL_PATH%/bin
PRE = %INSTALL_PATH%/bin/tool stop
POST[UNIX] = %INSTALL_PATH%/bin/tool start
BASE = build
FILE = bin/tool
FILE = lib/*.so

[module]
NAME = docs
SOURCE = docs
DESTINATION = %INSTALL_PATH%/doc
DEPEND = core
FILE = README   VERSION=1.0.0.1
FILE = win.txt  OS=WINXP
"""


def md5(data):
    return hashlib.md5(data).hexdigest()


@pytest.fixture
def product(tmp_path):
    prod = tmp_path / "prod"
    (prod / "build/bin").mkdir(parents=True)
    (prod / "build/lib").mkdir()
    (prod / "build/bin/tool").write_bytes(b"#!/bin/sh\necho tool\n")
    (prod / "build/lib/liba.so").write_bytes(os.urandom(70000))
    (prod / "build/lib/libb.so").write_bytes(b"")
    (prod / "README").write_bytes(b"read me\n")
    (prod / "win.txt").write_bytes(b"windows only\r\n")
    desc = tmp_path / "demo.desc"
    desc.write_text(DESCRIPTION)
    return tmp_path


def publish(*args, env=None, check=True):
    assert PUBLISH.exists(), f"{PUBLISH} is not built"
    full_env = dict(os.environ)
    full_env.pop("SOURCE_DATE_EPOCH", None)
    full_env.update(env or {})
    result = subprocess.run([str(PUBLISH), *map(str, args)], capture_output=True, text=True,
                            env=full_env, timeout=120)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def checked_text(path):
    """The lines of a checked text file, after verifying its digest line."""
    data = path.read_bytes()
    lines = data.split(b"\n")
    index = next(i for i, line in enumerate(lines) if line.startswith(b"<"))
    body = b"".join(line + b"\n" for line in lines[:index])
    assert len(lines[index]) >= 33, lines[index]
    assert lines[index][1:33].decode() == md5(body), path
    assert lines[index + 1:] == [b""], "nothing after the digest line"
    return [line.decode() for line in lines[:index]]


def info_document(out):
    return gzip.decompress((out / "demo/demo.info.gz").read_bytes())


def tree(out):
    return {str(p.relative_to(out)): p.read_bytes() for p in sorted(out.rglob("*")) if p.is_file()}


def test_tree_holds_what_the_updater_reads(product):
    out = product / "server"
    result = publish(product / "demo.desc", product / "prod", out)
    assert "8 files written, 0 unchanged" in result.stdout

    assert sorted(tree(out)) == [
        "demo/demo.info.gz", "demo/files/core/bin/tool.gz", "demo/files/core/lib/liba.so.gz",
        "demo/files/core/lib/libb.so.gz", "demo/files/docs/README.gz",
        "demo/files/docs/win.txt.gz", "demo/master.idx", "demo/product.txt"]
    umask = os.umask(0o22)
    os.umask(umask)
    for path in out.rglob("*"):
        if path.is_file():
            assert path.stat().st_mode & 0o777 == 0o666 & ~umask, path

    document = info_document(out)
    lines = document.split(b"\n")
    assert lines[-1] == b""
    # The closing line carries the digest of the document without that line.
    md5_line = lines[-2]
    assert md5_line.startswith(b'<MD5 value="') and md5_line.endswith(b'"/></UPDATE>')
    without_md5 = b"".join(line + b"\n" for line in lines[:-2])
    assert md5_line[12:44].decode() == md5(without_md5)
    # The info-file digest leaves out the DATE line too.
    assert lines[-3].startswith(b'<DATE value="')
    info_digest = md5(b"".join(line + b"\n" for line in lines[:-3]))

    root = ET.fromstring(document)
    assert root.tag == "UPDATE"
    assert root.find("NAME").get("value") == "Demo & Co"
    assert root.find("VERSION").get("value") == "1.0"
    modules = root.findall("MODULE")
    assert [m.get("NAME") for m in modules] == ["core", "docs"]
    core = modules[0]
    assert core.find("SOURCE").get("value") == "core"
    assert core.find("DESTINATION").get("value") == "%INSTALL_PATH%/bin"
    assert core.find("PRE").get("value") == "%INSTALL_PATH%/bin/tool stop"
    assert core.find("POST").get("value") == "%INSTALL_PATH%/bin/tool start;OS=UNIX"
    assert modules[1].find("DEPEND").get("value") == "core"

    sources = {"core": product / "prod/build", "docs": product / "prod"}
    seen = 0
    for module in modules:
        source = module.find("SOURCE").get("value")
        for entry in module.findall("FILE"):
            fields = {child.tag: child.get("value") for child in entry}
            original = (sources[module.get("NAME")] / fields["NAME"]).read_bytes()
            packed = (out / "demo/files" / source / (fields["NAME"] + ".gz")).read_bytes()
            assert gzip.decompress(packed) == original
            assert packed[4:8] == b"\0\0\0\0", "no time in the gzip header"
            assert fields["FILESIZE"] == str(len(original))
            assert fields["FILEMD5"] == fields["PEFILEMD5"] == md5(original)
            assert fields["ZIPSIZE"] == str(len(packed))
            assert fields["ZIPMD5"] == md5(packed)
            seen += 1
    assert seen == 5
    files = {f.find("NAME").get("value"): f for f in root.iter("FILE")}
    assert files["README"].find("VERSION").get("value") == "1.0.0.1"
    assert files["win.txt"].find("OS").get("value") == "WINXP"
    assert files["bin/tool"].find("OS").get("value") == "UNIX"
    assert files["bin/tool"].find("VERSION") is None

    assert checked_text(out / "demo/master.idx") == [
        "product=Demo & Co", "version=1.0", "productinfo=demo/demo.info.gz",
        "productinfohash=" + info_digest]
    product_file = checked_text(out / "demo/product.txt")
    assert product_file[:4] == [
        "servers=http://127.0.0.1:9/,http://127.0.0.1:10/", "updateroot=demo/files",
        "productinfo=demo/demo.info.gz", "productinfohash=demo.info," + info_digest]
    assert product_file[4] == "crdate=" + lines[-3][13:33].decode()


def test_master_index_changes_exactly_with_the_content(product):
    desc, prod, out = product / "demo.desc", product / "prod", product / "server"
    publish(desc, prod, out)
    index = out / "demo/master.idx"
    first = index.read_bytes()
    inodes = {path: path.stat().st_ino for path in out.rglob("*") if path.is_file()}

    # Unchanged content, newer files: nothing is rewritten.
    os.utime(prod / "README", (2000000000, 2000000000))
    result = publish(desc, prod, out)
    assert "0 files written, 8 unchanged" in result.stdout
    assert {p: p.stat().st_ino for p in inodes} == inodes

    # Changed content of one file.
    (prod / "README").write_bytes(b"read me again\n")
    result = publish(desc, prod, out)
    assert result.stdout.splitlines()[:4] == [
        "written   demo/files/docs/README.gz", "written   demo/demo.info.gz",
        "written   demo/product.txt", "written   demo/master.idx"]
    second = index.read_bytes()
    assert second != first
    assert (out / "demo/files/core/lib/liba.so.gz").stat().st_ino == \
        inodes[out / "demo/files/core/lib/liba.so.gz"]

    # A changed command or version changes it as well; going back restores it.
    desc.write_text(DESCRIPTION.replace("tool stop", "tool halt"))
    publish(desc, prod, out)
    third = index.read_bytes()
    assert third not in (first, second)
    desc.write_text(DESCRIPTION.replace("VERSION = 1.0", "VERSION = 1.1"))
    publish(desc, prod, out)
    assert index.read_bytes() not in (first, second, third)
    desc.write_text(DESCRIPTION)
    publish(desc, prod, out)
    assert index.read_bytes() == second


def test_same_input_gives_a_byte_identical_tree(product):
    env = {"SOURCE_DATE_EPOCH": "1767225600"}
    publish(product / "demo.desc", product / "prod", product / "one", env=env)
    # From a product directory whose name holds a pattern's characters too.
    shutil.copytree(product / "prod", product / "pr*d[1]")
    publish(product / "demo.desc", product / "pr*d[1]", product / "two", env=env)
    assert tree(product / "one") == tree(product / "two")
    assert b'<DATE value="2026-01-01T00:00:00Z"/>' in info_document(product / "one")
    publish(product / "demo.desc", product / "prod", product / "three", "--date=2026-05-06T07:08:09Z")
    assert b'<DATE value="2026-05-06T07:08:09Z"/>' in info_document(product / "three")


def test_enciphered_product_info(product):
    publish(product / "demo.desc", product / "prod", product / "plain")
    publish(product / "demo.desc", product / "prod", product / "secret", "--encrypt")
    plain = info_document(product / "plain")
    secret = info_document(product / "secret")
    assert plain.startswith(b"<?xml")
    # The updater tells an enciphered file by a non-text byte among the first 32.
    assert any(byte >= 0x80 for byte in secret[:32])
    assert len(secret) == len(plain)
    assert (product / "plain/demo/master.idx").read_bytes() == \
        (product / "secret/demo/master.idx").read_bytes()


BAD_INPUT = [
    # (replace this, with that, expected line, expected text)
    ("FILE = bin/tool", "FILE = bin/nothere", 20,
     "cannot publish {prod}/build/bin/nothere: No such file or directory"),
    ("FILE = lib/*.so", "FILE = lib/*.dll", 21, 'the pattern "{prod}/build/lib/*.dll" matches no file'),
    ("DEPEND = core", "DEPEND = kernel", 27, 'DEPEND names "kernel", which is not a module'),
    ("SOURCE = docs", "SOURCE = /srv/docs", 25, 'SOURCE "/srv/docs" must be a relative path'),
    ("SOURCE = docs", "SOURCE = ../docs", 25, 'SOURCE "../docs" must be a relative path'),
    ("FILE = README", "FILE = ../README", 28, 'FILE "../README" must be a relative path'),
    ("NAME = docs", "NAME = CORE", 23, 'module "CORE" is described twice (first at {desc}:13)'),
    ("FILE = lib/*.so", "FILE = lib/*.so\nFILE = lib/liba.so", 22,
     'file "lib/liba.so" is listed twice in module "core" (also at {desc}:21)'),
    ("POST[UNIX] = %INSTALL_PATH%/bin/tool start", "POST = run.sh;OS=UNIX", 18,
     '";" starts a comment; limit POST to operating systems as POST[UNIX] = value'),
    ("VERSION = 1.0\n", "VERSION = 1.0\nCOLOR = red\n", 5, "unknown key COLOR in [product]"),
]


@pytest.mark.parametrize("old,new,line,text", BAD_INPUT)
def test_bad_input_is_refused_naming_its_line(product, old, new, line, text):
    desc = product / "demo.desc"
    assert old in DESCRIPTION
    desc.write_text(DESCRIPTION.replace(old, new, 1))
    out = product / "server"
    result = publish(desc, product / "prod", out, check=False)
    assert result.returncode == 1
    expected = f"update-publish: {desc}:{line}: " + text.format(prod=product / "prod", desc=desc)
    assert result.stderr.startswith(expected), result.stderr
    assert not out.exists(), "nothing is written for bad input"


def test_a_failed_publication_keeps_the_published_tree(product):
    desc, prod, out = product / "demo.desc", product / "prod", product / "server"
    publish(desc, prod, out)
    before = tree(out)
    (prod / "build/bin/tool").write_bytes(b"new tool\n")
    # The docs module's directory is taken by a file: writing fails after the core module.
    for path in (out / "demo/files/docs").iterdir():
        path.unlink()
    (out / "demo/files/docs").rmdir()
    (out / "demo/files/docs").write_bytes(b"in the way")
    before.pop("demo/files/docs/README.gz")
    before.pop("demo/files/docs/win.txt.gz")
    before["demo/files/docs"] = b"in the way"
    result = publish(desc, prod, out, check=False)
    assert result.returncode == 1
    assert "Not a directory" in result.stderr
    assert tree(out) == before
    assert not [p for p in out.rglob(".*")], "no temporary file is left"


def test_command_line(product):
    result = publish("--help")
    assert result.stdout.startswith("Usage: update-publish")
    assert publish(check=False).returncode == 2
    assert publish("--frobnicate", "a", "b", "c", check=False).returncode == 2
    assert publish("--date=yesterday", "a", "b", "c", check=False).returncode == 2
    assert publish("--date=2026-13-45T99:00:00Z", "a", "b", "c", check=False).returncode == 2
    missing = publish(product / "none.desc", product / "prod", product / "out", check=False)
    assert missing.returncode == 1
    assert f"cannot open the description {product}/none.desc: No such file" in missing.stderr

    checked = publish("--check", product / "demo.desc", product / "prod", product / "out")
    assert "2 modules, 5 files: good" in checked.stdout
    assert not (product / "out").exists()

    quiet = publish("--quiet", product / "demo.desc", product / "prod", product / "out")
    assert quiet.stdout == ""

    scrambled = publish("--scramble-password=s3cret").stdout.strip()
    assert len(scrambled) == 160 and all(c in "0123456789abcdef" for c in scrambled)
    assert publish("--scramble-password=" + "x" * 21, check=False).returncode == 1


def test_an_interrupt_replaces_nothing(product):
    desc, prod, out = product / "demo.desc", product / "prod", product / "server"
    publish(desc, prod, out)
    before = tree(out)
    # A large incompressible file keeps the publisher busy long enough to be interrupted.
    with open(prod / "build/lib/liba.so", "wb") as big:
        for _ in range(48):
            big.write(os.urandom(1 << 20))
    process = subprocess.Popen([str(PUBLISH), str(desc), str(prod), str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while not list((out / "demo/files/core/lib").glob(".liba.so.gz.*")):
            assert process.poll() is None, "finished before it could be interrupted"
            assert time.monotonic() < deadline, "no temporary file appeared"
            time.sleep(0.01)
        # A second publication into the same tree meanwhile would mix the two.
        second = publish(desc, prod, out, check=False)
        assert second.returncode == 1 and "another publication into" in second.stderr, second
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 1, stderr
    assert "the publication was interrupted; nothing was put in place" in stderr
    assert tree(out) == before
    assert not [p for p in out.rglob(".*")], "no temporary file is left"
