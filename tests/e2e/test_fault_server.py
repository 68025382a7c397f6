"""Faults and hostile data on the server side, in whole runs of the real updater against nginx
on 127.0.0.1: the server stopped in the middle of a download, damaged .gz files whose
product info was made to match them, a module file that keeps coming past its ZIPSIZE, and
a product file or master index that is one endless line.

Every case checks the installed tree: after a refused run it is byte-identical to the old
version, and one more run against a good server makes it byte-identical to the new one,
with no temporary or backup directory left behind."""

import functools
import gzip
import http.server
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import zlib

import pytest

import servers
from run_available import requires_update_run
from updatekit import MASTERIDX, PRODUCTINFO, UPDATEROOT, UpdateKit, md5, wait_for

pytestmark = requires_update_run

# Far more than any sane file, and free to serve: sparse files hold no blocks.
ENDLESS = 1 << 30
# The checked text files (product file, master index) are taken up to 16 MiB and a digest
# line; allow what the kernel's socket buffers hold on top of what the updater accepted.
CHECKED_TEXT_LIMIT = 16 * 1024 * 1024 + 64
SOCKET_SLACK = 32 * 1024 * 1024
# The product info file as it comes from the server (compressed) is taken up to 64 MiB.
PRODUCT_INFO_LIMIT = 64 * 1024 * 1024
# A run that reads a stream whole would pass these by far.
RUN_SECONDS = 30
MAX_RSS_KIB = 512 * 1024

OLD = {"bin/tool": b"#!/bin/sh\necho tool v1\n", "lib/data.bin": b"d1" * 4000}
NEW = {"bin/tool": b"#!/bin/sh\necho tool v2\n", "lib/data.bin": b"d2" * 4000}


def expected_tree(kit):
    """What the installation holds once the kit's product is installed."""
    return {f"{m['name']}/{os.path.basename(p)}": data
            for m in kit.modules for p, data in m["files"].items()}


def installed_old_then_published_new(tmp_path, nginx, big=None):
    """Installs version 1 from a plain server, then publishes version 2 into the same tree.
    `big` adds an incompressible file of that size (its .gz is about as big) to version 2,
    fetched after the small ones. Gives the kit and the old installed tree."""
    kit = UpdateKit(tmp_path)
    kit.module("base", {"lib/liba.so": b"a" * 300}, pre="mark pre base", post="mark post base")
    kit.module("core", dict(OLD), pre="mark pre core", post="mark post core")
    kit.publish()
    srv = nginx(kit.www)
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    old = kit.installed_tree()
    assert old == expected_tree(kit)
    kit.old_index = kit.kept_index().read_bytes()
    srv.stop()

    files = dict(NEW)
    if big:
        files["share/big.bin"] = os.urandom(big)
    kit.module("core", files)
    kit.publish()
    kit.clear_markers()
    return kit, old


def assert_refused(kit, old):
    """The run changed nothing: the old tree, no kept index but the old one (which the next
    run compares with the new index and so updates), nothing of the run left."""
    assert kit.installed_tree() == old
    assert not kit.kept_index().exists() or kit.kept_index().read_bytes() == kit.old_index
    assert not kit.tmp.exists()
    assert not kit.backup.exists()


def assert_converges(kit, url, extra=()):
    r = kit.run([url], extra=list(extra))
    assert r.returncode == 0, (r.stdout, kit.log_text())
    assert kit.installed_tree() == expected_tree(kit)
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not kit.tmp.exists()
    assert not kit.backup.exists()


def make_endless(path, size=ENDLESS):
    """Replaces the file by one line of `size` NUL bytes without a line end (sparse)."""
    path.unlink(missing_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)


def bytes_sent(server, path, timeout=5.0):
    """What nginx logged as sent for the first request of `path` (written once the client
    hung up or the transfer ended); None without such a line."""
    pattern = re.compile(r'"GET ' + re.escape(path) + r' HTTP/[^"]*" (\d+) (\d+) ')

    def find():
        try:
            text = open(server.access_log).read()
        except OSError:
            return None
        m = pattern.search(text)
        return int(m.group(2)) if m else None

    return wait_for(find, timeout=timeout, step=0.01)


class Measured:
    """A run of the updater awaited with wait4, so its own peak memory is known, while the
    largest file in the temporary directory whose name matches the pattern `watched` is
    measured."""

    def __init__(self, kit, args, watched, timeout=RUN_SECONDS):
        start = time.monotonic()
        kit.events_file.unlink(missing_ok=True)
        with open(kit.base / "stdout.txt", "wb") as out:
            p = subprocess.Popen([str(kit.bin / "updater")] + args, cwd=kit.base, stdout=out,
                                 stderr=subprocess.STDOUT, env=kit.env(),
                                 stdin=subprocess.DEVNULL)
        self.max_tmp_file = 0
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid == p.pid:
                break
            self.max_tmp_file = max(self.max_tmp_file, largest_file(kit.tmp, watched))
            if time.monotonic() > deadline:
                p.send_signal(signal.SIGKILL)
                pid, status, usage = os.wait4(p.pid, 0)
                p.returncode = os.waitstatus_to_exitcode(status)
                raise AssertionError(f"the run did not end within {timeout} s")
            time.sleep(0.005)
        p.returncode = os.waitstatus_to_exitcode(status)
        self.returncode = p.returncode
        self.seconds = time.monotonic() - start
        self.max_rss_kib = usage.ru_maxrss
        self.output = (kit.base / "stdout.txt").read_text(errors="replace")


def partial_or(name):
    """The pattern of a downloaded file's name and of the partial file beside it."""
    return re.escape(name) + r"(\.\w{6})?"


def largest_file(root, watched):
    biggest = 0
    for dirpath, _, names in os.walk(root):
        for n in names:
            if not re.fullmatch(watched, n):
                continue
            try:
                biggest = max(biggest, os.stat(os.path.join(dirpath, n)).st_size)
            except OSError:
                pass  # removed meanwhile
    return biggest


# ---- the server stops in the middle of a download -----------------------------------------

BIG = "core/share/big.bin.gz"


def started_fetching(kit, name):
    """The URL of the server a block of `name` came from, once one arrived."""
    for table, event, args in kit.events():
        if event == "onDownloadFile" and name in args:
            return args.split('"')[1]
    return None


def partial_dir(kit):
    return kit.inst / (MASTERIDX + ".partial")


def partial_files(kit):
    return [os.path.join(d, n) for d, _, names in os.walk(partial_dir(kit))
            for n in names if n.endswith(".part")]


def partial_bytes(kit):
    """Bytes already written to the partial files (a file gone meanwhile counts nothing)."""
    total = 0
    for f in partial_files(kit):
        try:
            total += os.stat(f).st_size
        except FileNotFoundError:
            pass
    return total


def test_server_stopped_mid_download_changes_nothing_and_a_restarted_one_completes(
        tmp_path, nginx):
    # 200 KiB at 8 KiB/s: the transfer lasts far longer than it takes to stop the server.
    kit, old = installed_old_then_published_new(tmp_path, nginx, big=200 * 1024)
    slow = nginx(kit.www)
    p = kit.start([slow.url + "/slow"])
    try:
        assert wait_for(lambda: started_fetching(kit, BIG), timeout=30), kit.log_text()
        assert partial_files(kit), "the transfer writes to its partial file"
        slow.stop()
        assert p.wait(timeout=60) == 255, kit.log_text()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert_refused(kit, old)
    assert kit.markers() == []  # nothing of the new version ran
    text = kit.log_text()
    assert "big.bin.gz" in text

    # The same tree served again (on a new port): one run converges, fetching only what
    # the failed run had not fetched whole.
    again = nginx(kit.www)
    assert_converges(kit, again.url)
    assert kit.markers() == ["pre core", "post core"]
    fetched = [ln for ln in log_lines_since(again, 0) if ".gz " in ln and ".info.gz" not in ln]
    assert fetched and all("big.bin.gz" in ln for ln in fetched), fetched


def test_server_stopped_mid_download_fails_over_to_the_other_server(tmp_path, nginx):
    # Small enough that the second server, as slow as the first, serves it in a few seconds.
    kit, old = installed_old_then_published_new(tmp_path, nginx, big=24 * 1024)
    first, second = nginx(kit.www), nginx(kit.www)
    p = kit.start([first.url + "/slow", second.url + "/slow"])
    try:
        url = wait_for(lambda: started_fetching(kit, BIG), timeout=30)
        assert url, kit.log_text()
        hit = first if url.startswith(first.url + "/") else second
        other = second if hit is first else first
        hit.stop()
        assert p.wait(timeout=60) == 0, kit.log_text()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert kit.installed_tree() == expected_tree(kit)
    assert not kit.tmp.exists() and not kit.backup.exists()
    ev = kit.run_events()
    assert ev.count("LIB notifyUpdateNonCriticalError(-1)") == 1, ev
    assert BIG in open(other.access_log).read()


# ---- damaged .gz files that the product info was made to match ------------------------------

def announce(kit, module, path, data):
    """Serves `data` as the file's .gz and rewrites the product info so that its ZIPSIZE
    and ZIPMD5 describe exactly these bytes (with a matching digest of the product info):
    the size and digest checks pass, and decompression meets the damage."""
    kit.server_file(module, path).write_bytes(data)
    info = kit.www / PRODUCTINFO
    text = gzip.decompress(info.read_bytes()).decode("utf-8")
    head = text[:text.index('<MD5 value="')]
    block = re.compile(r'(<FILE[^>]*>\s*<NAME value="' + re.escape(path) + r'"/>.*?</FILE>)', re.S)
    m = block.search(head)
    assert m, path
    entry = re.sub(r'<ZIPSIZE value="\d+"/>', f'<ZIPSIZE value="{len(data)}"/>', m.group(1))
    entry = re.sub(r'<ZIPMD5 value="[0-9a-f]+"/>', f'<ZIPMD5 value="{md5(data)}"/>', entry)
    head = head[:m.start()] + entry + head[m.end():]
    text = head + f'<MD5 value="{md5(head.encode("utf-8"))}"/></UPDATE>\n'
    info.write_bytes(gzip.compress(text.encode("utf-8"), mtime=0))


DAMAGE = {
    # The server's copy lost its end; the product info still names the whole file.
    "truncated": lambda gz: (gz[:len(gz) // 2], False),
    # The same, with a product info that describes the truncated copy.
    "truncated-announced": lambda gz: (gz[:len(gz) // 2], True),
    # A second gzip member after the first: more content than published.
    "second-member": lambda gz: (gz + gzip.compress(b"more\n", mtime=0), True),
    # Only the stream's trailer (CRC and length) damaged.
    "bad-trailer": lambda gz: (gz[:-8] + bytes(8), True),
}


@pytest.mark.parametrize("damage", sorted(DAMAGE))
def test_damaged_gz_is_never_installed(tmp_path, nginx, damage):
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    gz = kit.server_file("core", "lib/data.bin")
    good_gz, good_info = gz.read_bytes(), (kit.www / PRODUCTINFO).read_bytes()
    data, matching = DAMAGE[damage](good_gz)
    if matching:
        announce(kit, "core", "lib/data.bin", data)
    else:
        gz.write_bytes(data)

    r = kit.run([srv.url])
    assert r.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    assert kit.markers() == []  # refused while downloading, before any command
    assert "LIB notifyUpdateCriticalError(625)" in kit.run_events()

    # Repaired server: the next run completes the update.
    gz.write_bytes(good_gz)
    (kit.www / PRODUCTINFO).write_bytes(good_info)
    kit.clear_markers()
    assert_converges(kit, srv.url)


def test_trailing_bytes_after_the_gzip_stream_cannot_change_what_is_installed(tmp_path, nginx):
    # Bytes after the last gzip member are no gzip member: decompression ends before them,
    # and what it gives is still checked against FILESIZE and FILEMD5.
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    gz = kit.server_file("core", "lib/data.bin")
    announce(kit, "core", "lib/data.bin", gz.read_bytes() + b"\x00garbage" * 100)
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed_tree() == expected_tree(kit)
    assert kit.installed("core", "lib/data.bin") == NEW["lib/data.bin"]
    assert not kit.tmp.exists() and not kit.backup.exists()


# ---- a module file that keeps coming ---------------------------------------------------------

def test_module_file_sent_past_its_zipsize_is_cut_off(tmp_path, nginx):
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    gz = kit.server_file("core", "lib/data.bin")
    good_gz = gz.read_bytes()
    zipsize = len(good_gz)
    make_endless(gz)

    run = Measured(kit, kit.args([srv.url]), partial_or("data.bin.gz"))
    assert run.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    # Cut off in transfer: never more than ZIPSIZE on disk, a fraction of the stream sent.
    assert run.max_tmp_file <= zipsize, run.max_tmp_file
    sent = bytes_sent(srv, f"/{UPDATEROOT}/core/lib/data.bin.gz")
    assert sent is not None and sent < zipsize + SOCKET_SLACK, sent
    assert run.max_rss_kib < MAX_RSS_KIB, run.max_rss_kib
    assert f"more than the expected {zipsize} bytes" in run.output, run.output

    gz.write_bytes(good_gz)
    assert_converges(kit, srv.url)


def gzip_of_zeros(size):
    """A gzip stream of `size` NUL bytes: about a thousandth of that."""
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    block = bytes(1 << 20)
    parts = [z.compress(block) for _ in range(size >> 20)]
    return b"".join(parts) + z.flush()


def test_module_file_that_inflates_past_its_filesize_is_stopped(tmp_path, nginx):
    # ZIPSIZE and ZIPMD5 describe the bomb, so it is fetched; FILESIZE still says 8000.
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    gz = kit.server_file("core", "lib/data.bin")
    good_gz, good_info = gz.read_bytes(), (kit.www / PRODUCTINFO).read_bytes()
    announce(kit, "core", "lib/data.bin", gzip_of_zeros(64 << 20))

    run = Measured(kit, kit.args([srv.url]), r"data\.bin")
    assert run.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    assert run.max_tmp_file <= len(NEW["lib/data.bin"]), run.max_tmp_file
    assert "LIB notifyUpdateCriticalError(625)" in kit.run_events()

    gz.write_bytes(good_gz)
    (kit.www / PRODUCTINFO).write_bytes(good_info)
    assert_converges(kit, srv.url)


def test_endless_product_info_is_cut_off(tmp_path, nginx):
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    info = kit.www / PRODUCTINFO
    good = info.read_bytes()
    make_endless(info)

    run = Measured(kit, kit.args([srv.url]), partial_or("demo.info.gz"))
    assert run.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    assert run.max_tmp_file <= PRODUCT_INFO_LIMIT, run.max_tmp_file
    sent = bytes_sent(srv, f"/{PRODUCTINFO}")
    assert sent is not None and sent < PRODUCT_INFO_LIMIT + SOCKET_SLACK, sent
    assert run.max_rss_kib < MAX_RSS_KIB, run.max_rss_kib
    assert f"more than the expected {PRODUCT_INFO_LIMIT} bytes" in run.output, run.output

    info.write_bytes(good)
    assert_converges(kit, srv.url)


# ---- one endless line in the master index or the product file --------------------------------

def test_endless_master_index_is_refused_in_transfer(tmp_path, nginx):
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www)
    index = kit.www / MASTERIDX
    good = index.read_bytes()
    make_endless(index)

    run = Measured(kit, kit.args([srv.url]), partial_or("master.idx"))
    assert run.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    assert run.max_tmp_file <= CHECKED_TEXT_LIMIT, run.max_tmp_file
    sent = bytes_sent(srv, f"/{MASTERIDX}")
    assert sent is not None and sent < CHECKED_TEXT_LIMIT + SOCKET_SLACK, sent
    assert run.max_rss_kib < MAX_RSS_KIB, run.max_rss_kib
    assert run.seconds < RUN_SECONDS
    # The error names the file and why it was refused.
    assert "master.idx" in run.output, run.output
    assert f"more than the expected {CHECKED_TEXT_LIMIT} bytes" in run.output, run.output

    index.write_bytes(good)
    assert_converges(kit, srv.url)


def default_server_args(kit, extra):
    """The kit's arguments without the product's place: the product file gives it."""
    return [a for a in kit.args([], extra)
            if not a.startswith(("--productroot=", "--productinfofile="))]


def checked_text(lines):
    content = "".join(line + "\n" for line in lines).encode()
    return content + b"<" + md5(content).encode() + b"\n"


def test_endless_product_file_is_refused_in_transfer(tmp_path, nginx):
    # Default-server mode: the default server holds the product file (and the master index),
    # the product file names the download server.
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    downloads = nginx(kit.www)
    default = tmp_path / "default"
    (default / "demo").mkdir(parents=True)
    (default / MASTERIDX).write_bytes((kit.www / MASTERIDX).read_bytes())
    product_file = default / "demo" / "product.txt"
    make_endless(product_file)
    default_srv = nginx(default)
    extra = [f"--defaultsrv={default_srv.url}/", "--productfile=demo/product.txt"]

    run = Measured(kit, default_server_args(kit, extra), partial_or("product.txt"))
    assert run.returncode == 255, kit.log_text()
    assert_refused(kit, old)
    assert run.max_tmp_file <= CHECKED_TEXT_LIMIT, run.max_tmp_file
    sent = bytes_sent(default_srv, "/demo/product.txt")
    assert sent is not None and sent < CHECKED_TEXT_LIMIT + SOCKET_SLACK, sent
    assert run.max_rss_kib < MAX_RSS_KIB, run.max_rss_kib
    assert "product.txt" in run.output, run.output
    assert f"more than the expected {CHECKED_TEXT_LIMIT} bytes" in run.output, run.output
    assert "LIB notifyUpdateCriticalError(628)" in kit.run_events()
    assert UPDATEROOT not in open(downloads.access_log).read()

    product_file.write_bytes(checked_text([
        f"servers={downloads.url}/", f"updateroot={UPDATEROOT}", f"productinfo={PRODUCTINFO}"]))
    r = subprocess.run([str(kit.bin / "updater")] + default_server_args(kit, extra),
                       cwd=kit.base, capture_output=True, env=kit.env(), timeout=RUN_SECONDS,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 0, (r.stdout, kit.log_text())
    assert kit.installed_tree() == expected_tree(kit)
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_product_file_of_endless_empty_lines_does_not_flood_the_log(tmp_path, nginx):
    # Millions of lines without a digest line: refused after two fetches, and only their
    # beginning is copied into the log.
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    default = tmp_path / "default"
    (default / "demo").mkdir(parents=True)
    (default / "demo" / "product.txt").write_bytes(b"\n" * (2 << 20))
    default_srv = nginx(default)
    extra = [f"--defaultsrv={default_srv.url}/", "--productfile=demo/product.txt"]

    run = Measured(kit, default_server_args(kit, extra), partial_or("product.txt"))
    assert run.returncode == 255, run.output
    assert_refused(kit, old)
    assert "product.txt" in run.output, run.output
    assert kit.log.stat().st_size < 1024 * 1024, kit.log.stat().st_size


# ---- transfers side by side, interrupted and continued ----------------------------------

BLOCK = re.compile(r'^"(.*)", "(.*)", (\d+)$')


def merged_events(kit):
    """The run's events, the blocks of each file summed (their sizes vary with the network),
    the option parallel left out of the configuration."""
    out = []
    for t, n, a in kit.events():
        a = re.sub(r'"parallel": "\d+", ', "", a)
        m = BLOCK.match(a) if n == "onDownloadFile" else None
        if m and out and out[-1][:3] == (t, n, m.group(1, 2)):
            out[-1] = (t, n, m.group(1, 2), out[-1][3] + int(m.group(3)))
        else:
            out.append((t, n, m.group(1, 2), int(m.group(3))) if m else (t, n, a, 0))
    return out


def log_lines_since(server, offset):
    with open(server.access_log, "rb") as f:
        f.seek(offset)
        return f.read().decode("utf-8", "replace").splitlines()


def fresh_run(kit, urls, *extra, **kw):
    shutil.rmtree(kit.inst, ignore_errors=True)
    kit.inst.mkdir()
    return kit.run(urls, list(extra), **kw)


def cut_run(kit, urls, extra, until, then=None):
    """A run that `then(process)` ends (default: SIGKILL) as soon as `until()` holds; gives
    what `then` gave."""
    p = kit.start(urls, extra)
    try:
        assert wait_for(until, timeout=60), kit.log_text()
        return then(p) if then else None
    finally:
        if p.poll() is None:
            p.kill()
        p.wait()


def interrupted(p):
    p.send_signal(signal.SIGINT)
    return p.wait(timeout=30)


def test_overlapping_transfers_keep_the_events_the_failures_and_the_tree(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    for m in range(3):
        kit.module(f"m{m}", {f"lib/f{i}.bin": os.urandom(20000 + 997 * i) for i in range(6)})
    kit.publish()
    bad_www = tmp_path / "bad"
    shutil.copytree(kit.www, bad_www)
    (bad_www / UPDATEROOT / "m1/lib/f4.bin.gz").unlink()  # fetched ahead of m1/lib/f0.bin
    srv, bad = nginx(kit.www), nginx(bad_www)
    seen = {}
    for parallel in ("1", "8"):
        at = os.path.getsize(srv.access_log) if os.path.exists(srv.access_log) else 0
        r = fresh_run(kit, [srv.url], f"--parallel={parallel}")
        assert r.returncode == 0, kit.log_text()
        connections = {re.search(r"connection=(\d+)", ln).group(1)
                       for ln in log_lines_since(srv, at)}
        r = fresh_run(kit, [bad.url], f"--parallel={parallel}")
        assert r.returncode == 255 and "m1/lib/f4.bin.gz" in kit.log_text()
        seen[parallel] = (merged_events(kit), len(connections))
        r = fresh_run(kit, [bad.url, srv.url], f"--parallel={parallel}")
        assert r.returncode == 0 and kit.installed_tree() == expected_tree(kit), kit.log_text()
    # Given explicitly, side by side transfers ask the plug-in about each file ahead (also
    # about those behind the failing one): only the downloadFile calls differ.
    asked = {p: [e for e in seen[p][0] if e[1] == "downloadFile"] for p in seen}
    assert [e for e in seen["1"][0] if e[1] != "downloadFile"] == \
        [e for e in seen["8"][0] if e[1] != "downloadFile"]
    assert set(asked["1"]) <= set(asked["8"])
    assert seen["8"][1] > seen["1"][1], "the transfers ran side by side"
    # A plug-in that fetches the files itself: nothing is fetched ahead.
    at = os.path.getsize(srv.access_log)
    fresh_run(kit, [srv.url], answers="lib.downloadFile=0")
    assert not [ln for ln in log_lines_since(srv, at) if f"/{UPDATEROOT}/m" in ln]
    # A rate that is no rate.
    r = fresh_run(kit, [srv.url], "--max-rate=fast")
    assert r.returncode != 0
    assert 'The value "fast" of the option max-rate' in (r.stdout + r.stderr).decode()


def test_transfers_keep_their_connections(tmp_path, nginx, monkeypatch):
    """Over HTTP/1.1 a run opens one connection per transfer in flight and one for the index
    and product info, however far the loop is behind; over HTTP/2 the files share one."""
    kit = UpdateKit(tmp_path)
    for m in range(3):
        kit.module(f"m{m}", {f"lib/f{i}.bin": os.urandom(500 + i) for i in range(100)})
    kit.publish()
    srv = nginx(kit.www, tls=True)
    monkeypatch.setenv("SSL_CERT_FILE", servers.CA_FILE)
    for url, files_only, most in ((srv.url, False, 10), (srv.tls_url, True, 1)):
        at = os.path.getsize(srv.access_log) if os.path.exists(srv.access_log) else 0
        r = fresh_run(kit, [url], "--parallel=8")
        assert r.returncode == 0 and kit.installed_tree() == expected_tree(kit), kit.log_text()
        lines = [ln for ln in log_lines_since(srv, at)
                 if not files_only or f"/{UPDATEROOT}/m" in ln]
        connections = {re.search(r"connection=(\d+)", ln).group(1) for ln in lines}
        assert len(lines) >= 300 and len(connections) <= most, (url, len(connections))


def test_interrupt_stops_every_transfer_in_flight_and_rolls_back(tmp_path, nginx):
    kit, old = installed_old_then_published_new(tmp_path, nginx)
    # Larger than what a transfer keeps in memory before it writes to its partial file.
    kit.module("core", dict(NEW, **{f"share/s{i}.bin": os.urandom(160 * 1024) for i in range(10)}))
    kit.publish()
    srv = nginx(kit.www)
    # Interrupted once the transfers receive (blocks reported and written to their files).
    assert cut_run(kit, [srv.url + "/slow"], ["--parallel=8"],
                   lambda: len(partial_files(kit)) >= 8 and "onDownloadFile" in kit.names()
                   and partial_bytes(kit) > 0,
                   interrupted) == 255, kit.log_text()
    assert_refused(kit, old)
    assert kit.markers() == []
    # The transfers cut short continue in the next run.
    assert_converges(kit, srv.url)
    assert "continuing after the" in kit.log_text() and not partial_files(kit)


def test_cut_transfer_continues_in_the_next_run(tmp_path, nginx):
    kit, old = installed_old_then_published_new(tmp_path, nginx, big=64 << 20)
    srv = nginx(kit.www)
    cut_run(kit, [srv.url], ["--max-rate=16M"],
            lambda: sum(os.path.getsize(f) for f in partial_files(kit)) >= 32 << 20)
    # nginx logs the cut request once it notices the client went away.
    assert bytes_sent(srv, f"/{UPDATEROOT}/core/share/big.bin.gz", timeout=30) is not None
    at = os.path.getsize(srv.access_log)
    assert_converges(kit, srv.url)
    sent = [int(m.group(2)) for m in (re.search(r'" (\d+) (\d+) ', ln)
                                      for ln in log_lines_since(srv, at) if "big.bin" in ln)]
    assert sent and sum(sent) <= 33 << 20, sent

    # A server that ignores ranges sends the whole file; bytes of another file under the
    # right name are found out. Both end with the right file.
    for data, url, said in ((b"x" * 5000, srv.url, "does not match"),
                            (None, srv.url + "/norange", "sent the whole file again")):
        kit.set_file("core", "share/big.bin", os.urandom(300 * 1024))
        kit.publish()
        gz = kit.server_file("core", "share/big.bin").read_bytes()
        part = partial_dir(kit) / f"{md5(gz)}-{len(gz)}.part"
        part.parent.mkdir(exist_ok=True)
        part.write_bytes(data or gz[:len(gz) // 2])
        assert_converges(kit, url)
        assert said in kit.log_text() and not part.exists()
        # The plug-in heard of the file's bytes once: what was thrown away never counted.
        assert [b for _, n, a, b in merged_events(kit)
                if n == "onDownloadFile" and "big.bin" in a[0]] == [len(gz)]

    # Cut once, the transfer is tried again (--retries): the plug-in hears its bytes once.
    class CutOnce(http.server.SimpleHTTPRequestHandler):
        def copyfile(self, source, out):
            if "big.bin" not in self.path or cut:
                return super().copyfile(source, out)
            cut.append(out.write(source.read(len(gz) // 2)))
            out.flush()
            time.sleep(0.5)  # the run reports what came before the cut
            self.close_connection = True

        def log_message(self, *args):
            pass
    cut = []
    kit.set_file("core", "share/big.bin", os.urandom(300 * 1024))
    kit.publish()
    gz = kit.server_file("core", "share/big.bin").read_bytes()
    cutting = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(CutOnce, directory=str(kit.www)))
    threading.Thread(target=cutting.serve_forever, daemon=True).start()
    try:
        assert_converges(kit, f"http://127.0.0.1:{cutting.server_port}", ["--retries=2"])
    finally:
        cutting.shutdown()
    assert cut and "; try 2 of 2" in kit.log_text()
    assert [b for _, n, a, b in merged_events(kit)
            if n == "onDownloadFile" and "big.bin" in a[0]] == [len(gz)]

    # A file replaced on the server between runs: the partial of the old one goes.
    kit.set_file("core", "share/big.bin", os.urandom(300 * 1024))
    kit.publish()
    cut_run(kit, [srv.url + "/slow"], [], lambda: partial_files(kit))
    kit.set_file("core", "share/big.bin", os.urandom(1000))
    kit.publish()
    assert_converges(kit, srv.url)
    assert not partial_files(kit)


def test_partial_continues_over_http_https_and_a_shared_folder(tmp_path, nginx, monkeypatch):
    kit, _ = installed_old_then_published_new(tmp_path, nginx)
    srv = nginx(kit.www, tls=True)
    monkeypatch.setenv("SSL_CERT_FILE", servers.CA_FILE)
    # The first partial lies where every product's partials were kept before.
    for url, where in ((srv.url, kit.inst / ".update-partial"), (srv.tls_url, partial_dir(kit)),
                       ("file://" + str(kit.www), partial_dir(kit))):
        kit.set_file("core", "share/big.bin", os.urandom(300 * 1024))
        kit.publish()
        gz = kit.server_file("core", "share/big.bin").read_bytes()
        part = where / f"{md5(gz)}-{len(gz)}.part"
        part.parent.mkdir(exist_ok=True)
        part.write_bytes(gz[:len(gz) // 2])
        assert_converges(kit, url)
        text = kit.log_text()
        assert f"continuing after the {len(gz) // 2} bytes" in text, (url, text)
        assert "whole" not in text and "does not match" not in text, (url, text)
        assert not part.exists() and not (kit.inst / ".update-partial").exists()


def test_two_products_in_one_installation_keep_their_own_partials(tmp_path, nginx):
    a, b = UpdateKit(tmp_path / "a"), UpdateKit(tmp_path / "b")
    b.inst = a.inst
    a.module("core", {"share/big.bin": os.urandom(64 * 1024)})
    b.module("other", {"lib/x.bin": os.urandom(16 * 1024)})
    a.publish()
    b.publish()
    srv_a, srv_b = nginx(a.www), nginx(b.www)
    # Both transfers are slow: the second product's run starts and ends during the first's.
    p = a.start([srv_a.url + "/slow"])
    try:
        assert wait_for(lambda: partial_files(a), timeout=30), a.log_text()
        r = b.run([srv_b.url + "/slow"], ["--idxlocalname=other.idx"])
        assert r.returncode == 0, b.log_text()
        assert p.wait(timeout=60) == 0, a.log_text()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert a.installed("core", "share/big.bin") == a.modules[0]["files"]["share/big.bin"]
    assert b.installed("other", "lib/x.bin") == b.modules[0]["files"]["lib/x.bin"]


def test_retries_ask_a_busy_server_again_and_a_missing_file_once(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("core", dict(OLD))
    kit.publish()
    srv = nginx(kit.www)

    def asked(path):
        with open(srv.access_log) as f:
            return sum(f" {path}" in line for line in f)

    # The index (one transfer at a time) and the module files (side by side) of a busy
    # server are asked --retries times in all, once by default; a missing index once.
    index, tool = f"/unavailable/{MASTERIDX}", f"/unavailable/{UPDATEROOT}/core/bin/tool.gz"
    runs = (([f"{srv.url}/unavailable"], ["--retries=3"], index, 3),
            ([f"{srv.url}/unavailable"], [], index, 4),
            ([f"{srv.url}/missing"], ["--retries=3"], f"/missing/{MASTERIDX}", 1),
            ([srv.url], ["--retries=2", f"--productroot=unavailable/{UPDATEROOT}"], tool, 2))
    for urls, extra, path, total in runs:
        r = kit.run(urls, extra=extra)
        assert r.returncode == 255 and asked(path) == total, (extra, kit.log_text())
        assert kit.installed_tree() == {}
