#!/usr/bin/env python3
"""Benchmarks the updater against what the machine's own tools do with the same files.

Every case runs paired with its baseline in the same run (case, baseline, case, baseline,
...), several times each; the table shows medians and the ratio case/baseline, and whether
the goal is met. Products come from bench/gen_product.py (fixed seed), are published with
build/update-publish and served by nginx on 127.0.0.1 (tests/e2e/servers.py).

    bench/run                 full run (2000 files / 200 MiB, 512 MiB file, 20000-file scale)
    bench/run --smoke         tiny product, one run each, goals not enforced (< 30 s)
    bench/run --runs 7 --write-doc docs/performance.md
    bench/run --cases transfers --old-build DIR   also against the updater of an older build
    bench/run --cases libs    the libraries of the hot loops alone (bench/libs.c), in memory

Exit status: 0 when every measured case ran correctly (goals are reported, not enforced),
1 when a run failed or produced a wrong installation.
"""

import argparse
import gzip
import hashlib
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

import gen_product  # noqa: E402
import servers  # noqa: E402

SETTLE = 65  # seconds without deletions before a case on a disk (ext4 without a journal
# skips, when it allocates, the inodes freed in the last 60 s once they are written back)
# A check of an up-to-date installation takes well under a second, and this machine's speed
# varies from second to second: its rows take at least this many pairs, so that a median
# does not rest on three samples of a noisy moment.
CHECK_RUNS = 9
RUN_TIMEOUT = 900  # seconds for one updater or baseline run; the full product takes a few
ALL_CASES = "main,transfers,scale,huge,statcache,memory,commands,signed,libs"
RESULTS_BEGIN = "<!-- bench results begin -->"
RESULTS_END = "<!-- bench results end -->"
LIBS_BEGIN = "<!-- library results begin -->"
LIBS_END = "<!-- library results end -->"
LIBS = ("nettle", "libcrypto", "libisal", "libdeflate", "zlib")
# The updater's default number of transfers in flight (its option parallel).
DEFAULT_PARALLEL = 8


class BenchError(Exception):
    pass


def md5_file(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()


# bench/peak_rss.c once built: runs a command as its child and reports that child's peak
# RSS, which a child of this (large) process would inherit as its own starting peak.
PEAK_RSS = None


def timed(argv, cwd=None, env=None, stdout=subprocess.DEVNULL, check=True):
    """Runs argv to its end: (seconds, exit status, peak RSS of the child in KiB)."""
    report = None
    shown = argv
    if PEAK_RSS:
        fd, report = tempfile.mkstemp(prefix="peak-rss-")
        os.close(fd)
        argv = [PEAK_RSS, report, *argv]
    # Every command starts with nothing of an earlier one waiting to be written: a flush
    # that a command pays for is its own writes.
    os.sync()
    start = time.monotonic()
    p = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                         stderr=subprocess.STDOUT)
    # A blocking wait, ended by a timer only when the command overruns: a wait that polls
    # wakes this process hundreds of times a second, which takes a core's time from a
    # command that uses both and none from one that uses one.
    overran = threading.Event()

    def overrun():
        overran.set()
        p.kill()

    timer = threading.Timer(RUN_TIMEOUT, overrun)
    timer.start()
    try:
        _, status, usage = os.wait4(p.pid, 0)
    finally:
        timer.cancel()
    elapsed = time.monotonic() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if overran.is_set():
        raise BenchError(f"{shown[0]} did not finish within {RUN_TIMEOUT} s")
    rss = usage.ru_maxrss
    if report:
        try:
            with open(report) as f:
                rss = int(f.read().strip() or 0)
        except (OSError, ValueError):
            rss = 0
        os.unlink(report)
    if check and p.returncode != 0:
        raise BenchError(f"{' '.join(shown[:3])} ... ended with status {p.returncode}")
    return elapsed, p.returncode, rss


class Product:
    """A generated product, its published tree(s) below www and its file list."""

    def __init__(self, bench, name, **gen):
        self.bench = bench
        self.name = name
        self.dir = os.path.join(bench.work, "gen", name)
        os.makedirs(self.dir, exist_ok=True)
        self.listing = gen_product.generate(self.dir, **gen)
        self.files = [(module, path) for module, path, _ in self.listing]
        self.size = sum(s for _, _, s in self.listing)

    def path(self, rel):
        return os.path.join(self.dir, "product", rel)

    def publish(self, tree, extra=(), timeout=RUN_TIMEOUT):
        """Publishes the product as it is now into www/<tree>; returns its URL."""
        out = os.path.join(self.bench.www, tree)
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([self.bench.publisher, "--quiet", *extra,
                        os.path.join(self.dir, "product.desc"),
                        os.path.join(self.dir, "product"), out], check=True,
                       timeout=timeout)
        return f"{self.bench.nginx.url}/{tree}/"

    def installed(self, inst, rel):
        module, name = rel.split("/", 1)
        return os.path.join(inst, module, os.path.basename(name))

    def digests(self):
        return {rel: md5_file(self.path(rel)) for _, rel in self.files}

    def md5_list(self, inst, digests, target):
        """An `md5sum -c` list of the installed files with the given digests."""
        with open(target, "w") as f:
            for rel, d in digests.items():
                f.write(f"{d}  {self.installed(inst, rel)}\n")
        return target

    def verify(self, inst, digests):
        for rel, d in digests.items():
            p = self.installed(inst, rel)
            if not os.path.exists(p):
                raise BenchError(f"{p} was not installed")
            if md5_file(p) != d:
                raise BenchError(f"{p} does not hold the published {rel}")

    def mutate(self, rels, tag):
        """Overwrites the first bytes of each file with a tag (sizes stay the same);
        returns what was there, for restore()."""
        saved = {}
        for rel in rels:
            with open(self.path(rel), "r+b") as f:
                saved[rel] = f.read(16)
                f.seek(0)
                f.write((tag.encode() * 16)[:len(saved[rel])])
        return saved

    def restore(self, saved):
        for rel, data in saved.items():
            with open(self.path(rel), "r+b") as f:
                f.write(data)


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.publisher = os.path.join(self.build, "update-publish")
        for exe in (os.path.join(self.build, "updater"), self.publisher):
            if not os.access(exe, os.X_OK):
                raise BenchError(f"{exe} is missing: build it first (cmake --build build)")
        self.work = tempfile.mkdtemp(prefix="updater-bench.", dir=args.work)
        self.fs = file_system_of(self.work)
        # ext4 puts a new directory's files into the block group of its parent, and its
        # inode allocator skips every inode of the group freed in the last minutes (six
        # while the inode block is dirty) when the file system has no journal, as /tmp
        # here: creating a file there after thousands were deleted costs up to 0.6 ms
        # instead of 35 us. A top directory (chattr +T) spreads its subdirectories over the
        # groups with the most free room, so each run's fresh directory starts in a group
        # of its own, as an installation does that is not made where others were deleted.
        spread = subprocess.run(["chattr", "+T", self.work], capture_output=True).returncode == 0
        print(f"work directory: {self.work} ({self.fs}"
              f"{', run directories spread over block groups' if spread else ''})", flush=True)
        # What the runs of a case leave goes here and is deleted between cases: deletions
        # during paired runs would make the creations of the next ones slower on a disk.
        self.trash = os.path.join(self.work, "trash")
        os.makedirs(self.trash)
        self.discarded = 0
        self.named = 0
        self.last_copy = None
        self.www = os.path.join(self.work, "www")
        os.makedirs(self.www)
        # The huge products, shared by the cases that check them (huge_products()).
        self.huge = None
        self.huge_users = set()
        # A private copy of the updater and its message file: no configuration file of the
        # build directory can reach the runs.
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        shutil.copy2(os.path.join(self.build, "updater"), self.bin)
        shutil.copy2(os.path.join(self.build, "update_msg.lqr"), self.bin)
        self.updater = os.path.join(self.bin, "updater")
        # The updater of an older build (--old-build), for "not slower than before".
        self.old_updater = None
        if args.old_build:
            old = os.path.join(self.work, "oldbin")
            os.makedirs(old)
            for name in ("updater", "update_msg.lqr"):
                if not os.path.isfile(os.path.join(args.old_build, name)):
                    raise BenchError(f"{args.old_build}/{name} is missing")
                shutil.copy2(os.path.join(args.old_build, name), old)
            self.old_updater = os.path.join(old, "updater")
        # The launcher that measures a command's own peak RSS.
        global PEAK_RSS
        launcher = os.path.join(self.bin, "peak_rss")
        if subprocess.run(["cc", "-O2", "-o", launcher,
                           os.path.join(HERE, "peak_rss.c")]).returncode == 0:
            PEAK_RSS = launcher
        # The C baseline of a fresh install (libcurl, one connection, zlib into place).
        self.baseline = os.path.join(self.bin, "baseline_install")
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libcurl"],
                               capture_output=True, text=True).stdout.split()
        if subprocess.run(["cc", "-O2", "-o", self.baseline,
                           os.path.join(HERE, "baseline_install.c"), *flags, "-lz"]).returncode:
            self.baseline = None
        # One stat per file on every processor: the floor of a check with the stat cache.
        self.stat_floor = os.path.join(self.bin, "stat_floor")
        if subprocess.run(["cc", "-O2", "-pthread", "-o", self.stat_floor,
                           os.path.join(HERE, "stat_floor.c")]).returncode:
            self.stat_floor = None
        self.nginx = None
        self.rows = []
        self.libs_table = None
        self.failed = False

    def discard(self, path):
        """Moves `path` (when it is there) out of the way, to be deleted between cases."""
        if os.path.lexists(path):
            self.discarded += 1
            os.rename(path, os.path.join(self.trash, str(self.discarded)))

    def fresh_name(self, stem):
        """A new path below the work directory, never used before in this run: ext4 starts
        the search for a top directory's group at the hash of its name, so a fresh name (with
        the updater's temporary directory, named after it) lands in a group of its own, not
        in the one whose thousands of files the last run of the same name just deleted."""
        self.named += 1
        return os.path.join(self.work, f"{stem}-{self.named}")

    def discard_copy(self, dest):
        """Discards the baselines' last copy: `dest` takes its place."""
        if self.last_copy:
            self.discard(self.last_copy)
        self.last_copy = dest

    def fresh_dir(self, stem):
        path = self.fresh_name(stem)
        os.makedirs(path)
        return path

    def settle(self):
        """Deletes what the runs of the last case left, then gives a disk's inode allocator
        the time to forget those deletions before the next case is timed."""
        if not os.listdir(self.trash):
            return
        shutil.rmtree(self.trash)
        os.makedirs(self.trash)
        os.sync()
        if self.fs != "tmpfs" and not self.args.smoke:
            time.sleep(SETTLE)

    def close(self):
        if self.nginx:
            self.nginx.close()
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print(f"work directory kept: {self.work}")

    # ---- running -----------------------------------------------------------------------
    def run_updater(self, inst, url, extra=(), updater=None):
        name = os.path.basename(inst)
        log = os.path.join(self.work, f"{name}.log")
        argv = [updater or self.updater, f"--install-path={inst}",
                f"--tmpdir={os.path.join(self.work, 'tmp-' + name)}",
                f"--backup-dir={os.path.join(self.work, 'backup-' + name)}",
                f"--logfile={log}", f"--productroot={gen_product.UPDATEROOT}",
                f"--productinfofile={gen_product.PRODUCTINFO}",
                f"--masteridx={gen_product.MASTERIDX}", f"--url={url}", *extra]
        out = os.path.join(self.work, f"{name}.out")
        with open(out, "wb") as f:
            secs, status, rss = timed(argv, cwd=self.work, stdout=f, check=False)
        if status != 0:
            tail = ""
            for p in (out, log):
                try:
                    with open(p, "rb") as f:
                        tail += f.read()[-1500:].decode("utf-8", "replace")
                except OSError:
                    pass
            last = [ln for ln in tail.splitlines() if ln.strip()]
            raise BenchError(f"the updater ended with status {status} on {url}"
                             f" ({last[-1].strip() if last else 'no output'}):\n{tail}")
        return secs, rss

    def curl_pipeline(self, url, rels, dest):
        """One curl process fetching every .gz over one connection, one gzip -d for all of
        them, one cp into dest: the machine's own tools doing a download-and-install."""
        self.discard_copy(dest)
        stage = self.fresh_dir("stage")
        cfg = os.path.join(self.work, "curl.cfg")
        with open(cfg, "w") as f:
            for rel in rels:
                module, name = rel.split("/", 1)
                f.write(f'url = "{url}{gen_product.UPDATEROOT}/{rel}.gz"\n')
                f.write(f'output = "{stage}/{module}/{os.path.basename(name)}.gz"\n')
        start = time.monotonic()
        timed(["curl", "-s", "-f", "--create-dirs", "--parallel-max", "1", "-K", cfg])
        timed(["gzip", "-d", "-r", stage])
        timed(["cp", "-r", stage, dest])
        took = time.monotonic() - start
        self.discard(stage)
        return took

    def c_baseline(self, url, rels, dest):
        """bench/baseline_install.c: every .gz over one connection, inflated into place, and
        on disk when it ends (one syncfs), as the updater's installation is."""
        self.discard_copy(dest)
        listing = os.path.join(self.work, "baseline.list")
        with open(listing, "w") as f:
            f.write("".join(rel + "\n" for rel in rels))
        return timed([self.baseline, "--sync", f"{url}{gen_product.UPDATEROOT}", listing,
                      dest])[0]

    def access_log_size(self):
        try:
            return os.path.getsize(self.nginx.access_log)
        except OSError:
            return 0

    def requests_since(self, offset):
        """(requests, distinct connections) in nginx's access log after offset."""
        with open(self.nginx.access_log, "rb") as f:
            f.seek(offset)
            lines = f.read().decode("utf-8", "replace").splitlines()
        conns = {m.group(1) for m in (re.search(r"connection=(\d+)", ln) for ln in lines) if m}
        return len(lines), len(conns)

    def paired(self, runs, case, baseline):
        a, b = [], []
        for _ in range(runs):
            a.append(case())
            b.append(baseline())
        return a, b

    def check_runs(self, runs):
        """Pairs for a check row: CHECK_RUNS at least, unless a smoke run asked for fewer."""
        return runs if self.args.smoke else max(runs, CHECK_RUNS)

    def row(self, case, value, base, ratio, goal, met, note=""):
        self.rows.append((case, value, base, ratio, goal, met, note))
        print(f"  {case}: {value} vs {base} -> {ratio} (goal {goal}: {met}) {note}", flush=True)

    def ratio_row(self, case, a, b, limit, goal, note=""):
        ma, mb = statistics.median(a), statistics.median(b)
        r = ma / mb if mb > 0 else float("inf")
        met = "yes" if r <= limit else "no"
        if self.args.smoke:
            met = "(smoke)"
        self.row(case, f"{ma:.3f} s", f"{mb:.3f} s", f"{r:.2f}x", goal, met, note)

    def not_measured(self, case, goal, why):
        self.row(case, "-", "-", "-", goal, "not measured", why)

    # ---- cases ------------------------------------------------------------------------
    def main_cases(self, sizes, runs):
        print("generating the product ...", flush=True)
        p = Product(self, "main", files=sizes["files"], total_mib=sizes["total_mib"],
                    min_kib=1, max_kib=1024, big_mib=0, seed=1)
        url1 = p.publish("main1")
        d1 = p.digests()
        changed = [rel for _, rel in p.files[::100]] or [p.files[0][1]]
        saved = p.mutate(changed, "v2")
        url2 = p.publish("main2")
        d2 = p.digests()
        p.restore(saved)
        rels = [rel for _, rel in p.files]
        mib = p.size / (1 << 20)
        print(f"product: {len(rels)} files, {mib:.1f} MiB", flush=True)

        seen = {"inst": None}

        def fresh():
            if seen["inst"]:
                self.discard(seen["inst"])
            seen["inst"] = self.fresh_dir("inst")
            at = self.access_log_size()
            t = self.run_updater(seen["inst"], url1)[0]
            seen["requests"], seen["connections"] = self.requests_since(at)
            seen["most"] = max(seen.get("most", 0), seen["connections"])
            return t

        a, b = self.paired(runs, fresh,
                           lambda: self.curl_pipeline(url1, rels, self.fresh_name("copy")))
        p.verify(seen["inst"], d1)
        self.ratio_row(f"fresh install, {len(rels)} files / {mib:.0f} MiB over HTTP", a, b, 1.5,
                       "<= 1.5x", "baseline: one curl (one connection), gzip -d, cp; the "
                       f"updater made {seen['requests']} requests over "
                       f"{seen['connections']} connection(s)")
        # Each transfer in flight keeps its connection (default --parallel=8), and the
        # master index and product info take one more: a connection per file means the
        # connections are dropped and opened again.
        most = DEFAULT_PARALLEL + 2
        self.row("connections of a fresh install (the most of any run)", str(seen["most"]),
                 f"{seen['requests']} requests", "-", f"<= {most}",
                 "(smoke)" if self.args.smoke else ("yes" if seen["most"] <= most else "no"),
                 "nginx's $connection in its access log")

        if self.baseline:
            # The pipeline's gzip deleted a file for each it wrote.
            self.settle()
            a, b = self.paired(runs, fresh, lambda: self.c_baseline(
                url1, rels, self.fresh_name("copy")))
            p.verify(seen["inst"], d1)
            self.ratio_row(f"fresh install vs C baseline, {len(rels)} files", a, b, 1.1,
                           "<= 1.1x", "both end with the files on disk: the updater with one "
                           "syncfs per file system (new files; a replaced file is flushed before "
                           "its rename), the baseline with one syncfs; "
                           "baseline: bench/baseline_install.c (libcurl, one "
                           "connection, zlib inflating each file into its place)")
        else:
            self.not_measured("fresh install vs C baseline", "<= 1.1x", "no C compiler")

        inst = seen["inst"]
        list1 = p.md5_list(inst, d1, os.path.join(self.work, "md5-1.txt"))
        list2 = p.md5_list(inst, d2, os.path.join(self.work, "md5-2.txt"))
        check = ["--IgnoreMasterIDX=1", "--checkdirty"]
        a, b = self.paired(self.check_runs(runs),
                           lambda: self.run_updater(inst, url1, check)[0],
                           lambda: timed(["md5sum", "--quiet", "-c", list1])[0])
        p.verify(inst, d1)
        self.ratio_row("check of an up-to-date installation, every file hashed", a, b, 0.6,
                       "<= 0.6x", "--IgnoreMasterIDX=1 --checkdirty vs md5sum -c")

        a, b = self.paired(runs, lambda: self.run_updater(inst, url1)[0],
                           lambda: timed(["curl", "-s", "-f", "-o", os.devnull,
                                          f"{url1}{gen_product.MASTERIDX}"])[0])
        self.ratio_row("nothing changed (same master index)", a, b, 2.0, "<= 2x",
                       "baseline: one curl of the master index")

        # 1% of the files: the installation goes v1 -> v2 -> v1 ..., every run an update.
        state = {"v": 1}

        def update():
            state["v"] = 2 if state["v"] == 1 else 1
            return self.run_updater(inst, url2 if state["v"] == 2 else url1)[0]

        def update_base():
            lst = list1 if state["v"] == 1 else list2
            t = timed(["md5sum", "--quiet", "-c", lst])[0]
            return t + self.curl_pipeline(url2 if state["v"] == 1 else url1, changed,
                                          self.fresh_name("copy"))

        a, b = self.paired(max(runs, 2), update, update_base)
        p.verify(inst, d2 if state["v"] == 2 else d1)
        self.ratio_row(f"update of 1% ({len(changed)} files)", a, b, 1.5, "<= 1.5x",
                       "baseline: md5sum -c of all + pipeline for the changed files")
        self.discard(inst)

    def signed_case(self, sizes, runs):
        """The same product published signed and unsigned: a fresh install with the trusted
        key against one without, and "nothing changed" with the key against one curl."""
        p = Product(self, "signed", files=max(sizes["files"] // 4, 10),
                    total_mib=max(sizes["total_mib"] // 4, 1), min_kib=1, max_kib=1024,
                    big_mib=0, seed=3)
        key = os.path.join(self.work, "bench-key")
        subprocess.run([self.publisher, f"--new-key={key}"], check=True, capture_output=True)
        signed = p.publish("signed", [f"--sign-key={key}.key"])
        plain = p.publish("unsigned")
        keys = [f"--trusted-keys={key}.pub"]
        runs_of = {"inst": None}
        digests = p.digests()

        cpu = {signed: [], plain: []}

        def fresh(url, extra):
            if runs_of["inst"]:
                self.discard(runs_of["inst"])
            runs_of["inst"] = self.fresh_dir("inst-signed")
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            secs = self.run_updater(runs_of["inst"], url, extra)[0]
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[url].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
            return secs

        a, b = self.paired(runs, lambda: fresh(signed, keys), lambda: fresh(plain, []))
        p.verify(runs_of["inst"], digests)
        self.ratio_row(f"signed fresh install, {len(p.files)} files", a, b, 1.05, "<= 1.05x",
                       "baseline: the same product unsigned, no keys; CPU time (user + "
                       f"system) {statistics.median(cpu[signed]):.3f} s vs "
                       f"{statistics.median(cpu[plain]):.3f} s")
        fresh(signed, keys)
        inst = runs_of["inst"]
        a, b = self.paired(runs, lambda: self.run_updater(inst, signed, keys)[0],
                           lambda: timed(["curl", "-s", "-f", "-o", os.devnull,
                                          f"{signed}{gen_product.MASTERIDX}"])[0])
        self.ratio_row("nothing changed, signed index verified", a, b, 2.0, "<= 2x",
                       "baseline: one curl of the master index")
        self.discard(inst)

    def scale_case(self, sizes, runs):
        small, large = sizes["scale"]
        medians = {}
        insts = {}
        urls = {}
        products = {}
        for n in (small, large):
            print(f"generating the {n}-file product ...", flush=True)
            p = Product(self, f"scale{n}", files=n, total_mib=0, min_kib=1, max_kib=8,
                        big_mib=0, seed=2)
            urls[n] = p.publish(f"scale{n}")
            inst = os.path.join(self.work, f"inst{n}")
            os.makedirs(inst)
            self.run_updater(inst, urls[n])
            p.verify(inst, p.digests())
            insts[n] = inst
            products[n] = p
        check = ["--IgnoreMasterIDX=1", "--checkdirty"]
        a, b = self.paired(self.check_runs(runs),
                           lambda: self.run_updater(insts[large], urls[large], check)[0],
                           lambda: self.run_updater(insts[small], urls[small], check)[0])
        medians = [statistics.median(a) / large, statistics.median(b) / small]
        r = medians[0] / medians[1]
        self.row(f"scale: check per file, {large} vs {small} files (1-8 KiB each)",
                 f"{medians[0] * 1e6:.0f} us/file", f"{medians[1] * 1e6:.0f} us/file",
                 f"{r:.2f}x", "<= 1.2x", "(smoke)" if self.args.smoke else
                 ("yes" if r <= 1.2 else "no"))
        listing = products[large].md5_list(insts[large], products[large].digests(),
                                           os.path.join(self.work, f"md5-{large}.txt"))
        a, b = self.paired(self.check_runs(runs),
                           lambda: self.run_updater(insts[large], urls[large], check)[0],
                           lambda: timed(["md5sum", "--quiet", "-c", listing])[0])
        self.ratio_row(f"check of {large} small files (1-8 KiB each)", a, b, 1.0, "<= 1.0x",
                       "--IgnoreMasterIDX=1 --checkdirty vs md5sum -c")
        for inst in insts.values():
            self.discard(inst)

    def huge_products(self, sizes):
        """The 2000- and 200,000-file products, published and installed once for the cases
        that check them: {"products", "urls", "insts", "install_rss", "info_note"}."""
        if self.huge:
            return self.huge
        small, large = sizes["huge"]
        h = {"products": {}, "urls": {}, "insts": {}, "install_rss": [], "info_note": ""}
        for n in (small, large):
            print(f"generating the {n}-file product ...", flush=True)
            p = Product(self, f"huge{n}", files=n, total_mib=0, min_kib=0.5, max_kib=1,
                        big_mib=0, seed=5)
            h["products"][n] = p
            # Publishing 200,000 files takes longer than one run may on a loaded machine.
            h["urls"][n] = p.publish(f"huge{n}", timeout=RUN_TIMEOUT * max(1, n // 20000))
            h["insts"][n] = os.path.join(self.work, f"insthuge{n}")
            os.makedirs(h["insts"][n])
            print(f"installing the {n}-file product ...", flush=True)
            secs, peak = self.run_updater(h["insts"][n], h["urls"][n])
            if n == large:
                h["install_rss"].append(peak)
                info = os.path.join(self.www, f"huge{n}", gen_product.PRODUCTINFO)
                h["info_note"] = (f"product info: {os.path.getsize(info) / 2**20:.1f} MiB "
                                  "on the server")
                try:
                    with gzip.open(info) as f:
                        h["info_note"] += f", {len(f.read()) / 2**20:.1f} MiB decompressed"
                except OSError:
                    pass
            p.verify(h["insts"][n], p.digests())
        self.huge = h
        return h

    def done_with_huge(self, case):
        """The installations go once the last case that checks them is done."""
        self.huge_users.discard(case)
        if not self.huge_users and self.huge:
            for inst in self.huge["insts"].values():
                self.discard(inst)

    def huge_case(self, sizes, runs):
        """200,000 files (a product info of tens of MB): the check per file against the same
        check of 2000 such files, and the peak RSS of the fresh install and of the check."""
        small, large = sizes["huge"]
        h = self.huge_products(sizes)
        insts, urls, rss = h["insts"], h["urls"], []
        install_rss, info_note = h["install_rss"], h["info_note"]
        check = ["--IgnoreMasterIDX=1", "--checkdirty"]

        def check_large():
            secs, peak = self.run_updater(insts[large], urls[large], check)
            rss.append(peak)
            return secs

        a, b = self.paired(runs, check_large,
                           lambda: self.run_updater(insts[small], urls[small], check)[0])
        per = [statistics.median(a) / large, statistics.median(b) / small]
        r = per[0] / per[1]
        verdict = (lambda ok: "(smoke)" if self.args.smoke else ("yes" if ok else "no"))
        self.row(f"scale: check per file, {large} vs {small} files (0.5-1 KiB each)",
                 f"{per[0] * 1e6:.0f} us/file", f"{per[1] * 1e6:.0f} us/file", f"{r:.2f}x",
                 "<= 1.2x", verdict(r <= 1.2))
        for what, peaks, note in (("fresh install", install_rss, info_note),
                                  ("check (every run)", rss, "")):
            peak = max(peaks) / 1024
            self.row(f"peak RSS of the {what} on {large} files", f"{peak:.1f} MiB", "-", "-",
                     "<= 256 MiB", verdict(peak <= 256), note)
        self.done_with_huge("huge")

    def statcache_case(self, sizes, runs):
        """The check of the up-to-date 200,000-file installation with the stat cache (filled
        by a first run) against md5sum -c of the same files."""
        large = sizes["huge"][1]
        h = self.huge_products(sizes)
        inst, url, p = h["insts"][large], h["urls"][large], h["products"][large]
        # Files changed within a second before a check are not recorded; the periodic full
        # check is left out here (it costs what the plain check costs).
        check = ["--IgnoreMasterIDX=1", "--checkdirty", "--stat-cache=1", "--full-check-every=0"]
        time.sleep(1.1)
        self.run_updater(inst, url, check)
        listing = p.md5_list(inst, p.digests(), os.path.join(self.work, f"md5-huge{large}.txt"))
        a, b = self.paired(runs, lambda: self.run_updater(inst, url, check)[0],
                           lambda: timed(["md5sum", "--quiet", "-c", listing])[0])
        self.ratio_row(f"check of {large} files (0.5-1 KiB each) with the stat cache", a, b,
                       0.1, "<= 0.1x", "--stat-cache=1 (filled by a first run) vs md5sum -c; "
                       "the verdict of the first run stands: one stat per file")
        if self.stat_floor:
            # What any check that stats every file costs at least, against the same md5sum.
            a, b = self.paired(runs, lambda: timed([self.stat_floor, listing])[0],
                               lambda: timed(["md5sum", "--quiet", "-c", listing])[0])
            ma, mb = statistics.median(a), statistics.median(b)
            self.row(f"one stat per file of the {large}, C on {os.cpu_count()} threads",
                     f"{ma:.3f} s", f"{mb:.3f} s", f"{ma / mb:.2f}x", "-", "-",
                     "bench/stat_floor.c vs md5sum -c: the floor of the case above")
        self.done_with_huge("statcache")

    def memory_case(self, sizes, runs):
        print("generating the big-file product ...", flush=True)
        p = Product(self, "mem", files=1, total_mib=0, min_kib=1, max_kib=1,
                    big_mib=sizes["big_mib"], seed=3)
        small_rel = p.files[0][1]
        big_rel = "big/big.bin"
        url1 = p.publish("mem1")
        saved = p.mutate([big_rel], "big2")
        url_big = p.publish("mem2")
        p.restore(saved)
        saved = p.mutate([small_rel], "small2")
        url_small = p.publish("mem3")
        p.restore(saved)
        inst = os.path.join(self.work, "instmem")
        os.makedirs(inst)
        self.run_updater(inst, url1)
        rss = {"big": [], "small": []}
        for _ in range(runs):
            for kind, url in (("big", url_big), ("small", url_small)):
                rss[kind].append(self.run_updater(inst, url)[1])
                rss[kind].append(self.run_updater(inst, url1)[1])
        p.verify(inst, p.digests())
        big, small = statistics.median(rss["big"]), statistics.median(rss["small"])
        diff = (big - small) / 1024
        self.row(f"peak RSS updating the {sizes['big_mib']} MiB file vs a 1 KiB file",
                 f"{big / 1024:.1f} MiB", f"{small / 1024:.1f} MiB", f"+{diff:.1f} MiB",
                 "<= +8 MiB", "(smoke)" if self.args.smoke else ("yes" if diff <= 8 else "no"))
        self.discard(inst)

    def command_case(self, runs):
        trees = {}
        for kind, commands in (("plain", None), ("cmds", "quick")):
            p = Product(self, f"cmd-{kind}", files=20, total_mib=0, min_kib=1, max_kib=4,
                        big_mib=0, seed=4, commands=commands)
            rels = [p.files[0][1]]
            a = p.publish(f"{kind}-a")
            p.mutate(rels, "b")
            b = p.publish(f"{kind}-b")
            inst = os.path.join(self.work, f"inst-{kind}")
            os.makedirs(inst)
            # Module commands are found in the installation directory: one that exits at once.
            shutil.copy2(shutil.which("true"), os.path.join(inst, "quick"))
            self.run_updater(inst, a)
            trees[kind] = (inst, [b, a], {"n": 0})

        def update(kind):
            inst, urls, st = trees[kind]
            st["n"] += 1
            return self.run_updater(inst, urls[st["n"] % 2 - 1])[0]

        a, b = self.paired(max(runs, 2), lambda: update("cmds"), lambda: update("plain"))
        d = statistics.median(a) - statistics.median(b)
        self.row("PRE and POST command that exits at once (one module)", f"{statistics.median(a):.3f} s",
                 f"{statistics.median(b):.3f} s", f"{d:+.3f} s", "< +0.1 s",
                 "(smoke)" if self.args.smoke else ("yes" if d < 0.1 else "no"),
                 "baseline: the same update without commands")

    def start_relay(self, delay_ms):
        """bench/relay.py in front of nginx; gives (process, base URL)."""
        port = servers.free_port()
        relay = subprocess.Popen([sys.executable, os.path.join(HERE, "relay.py"),
                                  "--listen", str(port), "--to", str(self.nginx.port),
                                  "--delay-ms", str(delay_ms)], stdin=subprocess.DEVNULL)
        if not servers.wait_for_port(port, 10.0):
            relay.kill()
            relay.wait()
            raise BenchError("the latency relay did not start")
        return relay, f"http://127.0.0.1:{port}"

    def curl_parallel(self, url, rels, dest):
        """curl fetching every .gz with up to 8 transfers in flight (-K list)."""
        self.discard(dest)
        cfg = os.path.join(self.work, "curl-parallel.cfg")
        with open(cfg, "w") as f:
            for rel in rels:
                f.write(f'url = "{url}{gen_product.UPDATEROOT}/{rel}.gz"\n')
                f.write(f'output = "{dest}/{rel}.gz"\n')
        return timed(["curl", "-s", "-f", "--create-dirs", "--parallel", "--parallel-max", "8",
                      "-K", cfg])[0]

    def transfer_cases(self, sizes, runs):
        print("generating the product for the transfer cases ...", flush=True)
        p = Product(self, "main", files=sizes["files"], total_mib=sizes["total_mib"],
                    min_kib=1, max_kib=1024, big_mib=0, seed=1)
        p.publish("xfer")
        d = p.digests()
        rels = [rel for _, rel in p.files]
        mib = p.size / (1 << 20)
        inst = os.path.join(self.work, "instx")

        def fresh(url, extra=(), updater=None):
            self.discard(inst)
            os.makedirs(inst)
            return self.run_updater(inst, url, extra, updater)[0]

        relay, relayed = self.start_relay(10)
        try:
            url = f"{relayed}/xfer/"
            a, b = self.paired(runs, lambda: fresh(url),
                               lambda: self.curl_parallel(url, rels, os.path.join(self.work, "px")))
            p.verify(inst, d)
            self.ratio_row(f"fresh install, {len(rels)} files / {mib:.0f} MiB, 20 ms round trip",
                           a, b, 1.2, "<= 1.2x", "relay adding 10 ms each way (bench/relay.py); "
                           "baseline: curl --parallel --parallel-max 8 -K list (fetch only)")
            a, b = self.paired(1, lambda: fresh(url, ["--parallel=1"]), lambda: 0.0)
            self.row("the same, --parallel=1 (one transfer at a time)", f"{a[0]:.3f} s", "-",
                     "-", "-", "-", "what overlapping transfers save")
        finally:
            relay.terminate()
            relay.wait()

        url = f"{self.nginx.url}/xfer/"
        a, b = self.paired(runs, lambda: fresh(url), lambda: fresh(url, ["--parallel=1"]))
        p.verify(inst, d)
        self.ratio_row("fresh install on plain loopback, --parallel=8 vs --parallel=1", a, b,
                       1.0, "<= 1.0x", "baseline: one transfer at a time, as before")
        if self.old_updater:
            a, b = self.paired(runs, lambda: fresh(url),
                               lambda: fresh(url, updater=self.old_updater))
            p.verify(inst, d)
            self.ratio_row("fresh install on plain loopback, against an older build", a, b, 1.0,
                           "<= 1.0x", f"baseline: the updater of {self.args.old_build}")

        capped = Product(self, "capped", files=40, total_mib=sizes["capped_mib"], min_kib=64,
                         max_kib=1024, big_mib=0, seed=5)
        curl = f"{capped.publish('capped')}"
        gz = sum(os.path.getsize(os.path.join(self.www, "capped", gen_product.UPDATEROOT,
                                              rel + ".gz")) for _, rel in capped.files)
        secs = [fresh(curl, ["--max-rate=1M"]) for _ in range(max(1, runs // 2))]
        rate = gz / statistics.median(secs)
        r = rate / (1 << 20)
        self.row(f"--max-rate=1M, fresh install of {gz / (1 << 20):.1f} MiB compressed",
                 f"{rate / 1024:.0f} KiB/s", "1024 KiB/s", f"{r:.2f}x", "0.90x - 1.10x",
                 "(smoke)" if self.args.smoke else ("yes" if 0.9 <= r <= 1.1 else "no"),
                 "whole run's time, start-up and installation included")
        self.discard(inst)

    def libs_case(self, runs):
        """bench/libs.c: the hot loops' libraries on buffers in memory, a table of its own."""
        print("measuring the libraries of the hot loops ...", flush=True)
        exe = os.path.join(self.bin, "libs")
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", *LIBS], capture_output=True,
                               text=True, check=True).stdout.split()
        subprocess.run(["cc", "-O2", "-o", exe, os.path.join(HERE, "libs.c"), *flags, "-lm"],
                       check=True)
        argv = [exe, "--reps", str(max(runs, 3))] + (["--quick"] if self.args.smoke else [])
        self.libs_table = subprocess.run(argv, capture_output=True, text=True, check=True,
                                         timeout=RUN_TIMEOUT).stdout
        print(self.libs_table, flush=True)

    # ---- report -----------------------------------------------------------------------
    def machine(self):
        cpu = "?"
        try:
            with open("/proc/cpuinfo") as f:
                m = re.search(r"model name\s*:\s*(.*)", f.read())
                cpu = m.group(1) if m else cpu
        except OSError:
            pass
        mem = "?"
        try:
            with open("/proc/meminfo") as f:
                mem = f"{int(f.readline().split()[1]) // 1024} MiB"
        except OSError:
            pass
        build_type = "?"
        try:
            with open(os.path.join(self.build, "CMakeCache.txt")) as f:
                m = re.search(r"^CMAKE_BUILD_TYPE:STRING=(.*)$", f.read(), re.M)
                build_type = (m.group(1) or "RelWithDebInfo (the default)") if m else build_type
        except OSError:
            pass
        return {"cpu": cpu, "cores": os.cpu_count(), "memory": mem,
                "kernel": platform.release(), "build": build_type}

    def table(self, facts, load_before, load_after, runs):
        lines = [f"Run of {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
                 f"{runs} paired runs per case (at least {CHECK_RUNS} for the checks), "
                 "medians.", "",
                 f"- CPU: {facts['cpu']}, {facts['cores']} cores; memory {facts['memory']}; "
                 f"Linux {facts['kernel']}; build type {facts['build']}",
                 f"- load average before / after: {load_before} / {load_after}",
                 f"- work directory on {self.fs} (`--work`); {SETTLE} s without deletions "
                 "before each case on a disk", "",
                 "| Case | Updater | Baseline | Ratio | Goal | Met | Notes |",
                 "|---|---|---|---|---|---|---|"]
        for r in self.rows:
            lines.append("| " + " | ".join(str(x) for x in r) + " |")
        return "\n".join(lines) + "\n"


def file_system_of(path):
    """The type of the file system that holds `path` (the longest mount point above it)."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                fields = line.split()
                point = fields[1].replace("\\040", " ")
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) >= len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def write_doc(path, table, begin=RESULTS_BEGIN, end=RESULTS_END):
    text = ""
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    block = f"{begin}\n{table}{end}"
    if begin in text and end in text:
        text = text[:text.index(begin)] + block + text[text.index(end) + len(end):]
    else:
        text += "\n" + block + "\n"
    with open(path, "w") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--smoke", action="store_true", help="tiny product, one run each")
    ap.add_argument("--runs", type=int, help="paired runs per case (default 5, smoke 1)")
    ap.add_argument("--build", default=os.environ.get("UPDATER_BUILD_DIR",
                                                      os.path.join(SOURCE, "build")))
    ap.add_argument("--work", help="directory for the work directory (default: $TMPDIR)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--cases", default=ALL_CASES,
                    help="comma-separated subset of " + ALL_CASES)
    ap.add_argument("--no-big", action="store_true", help="leave the 512 MiB case out")
    ap.add_argument("--old-build", metavar="DIR",
                    help="build directory of an older commit: the transfers case also compares "
                         "a fresh install on loopback with its updater")
    ap.add_argument("--write-doc", metavar="FILE",
                    help="write the table into FILE (default for a run of every case: "
                         "docs/performance.md)")
    args = ap.parse_args()
    runs = args.runs or (1 if args.smoke else 5)
    if args.smoke:
        sizes = {"files": 40, "total_mib": 1, "big_mib": 2, "scale": (20, 200), "capped_mib": 1,
                 "huge": (20, 400)}
    else:
        sizes = {"files": 2000, "total_mib": 200, "big_mib": 512, "scale": (2000, 20000),
                 "capped_mib": 10, "huge": (2000, 200000)}
    cases = set(args.cases.split(","))
    if args.no_big:
        cases.discard("memory")
    # Only a full run of every case replaces the published table unless asked otherwise.
    full = not args.smoke and not args.no_big and cases == set(ALL_CASES.split(","))
    doc = args.write_doc or (os.path.join(SOURCE, "docs", "performance.md") if full else None)
    bench = None
    status = 0
    try:
        bench = Bench(args)
        bench.nginx = servers.Nginx(bench.www).start()
        bench.huge_users = cases & {"huge", "statcache"}
        load_before = loadavg()
        started = time.monotonic()
        for name, fn in (("main", lambda: bench.main_cases(sizes, runs)),
                         ("transfers", lambda: bench.transfer_cases(sizes, runs)),
                         ("scale", lambda: bench.scale_case(sizes, runs)),
                         ("huge", lambda: bench.huge_case(sizes, runs)),
                         ("statcache", lambda: bench.statcache_case(sizes, runs)),
                         ("memory", lambda: bench.memory_case(sizes, runs)),
                         ("commands", lambda: bench.command_case(runs)),
                         ("signed", lambda: bench.signed_case(sizes, runs)),
                         ("libs", lambda: bench.libs_case(runs))):
            if name in cases:
                bench.settle()
                try:
                    fn()
                except (BenchError, subprocess.SubprocessError) as e:
                    status = 1
                    print(f"case {name} failed: {e}", file=sys.stderr)
                    bench.not_measured(name, "-", f"failed: {str(e).splitlines()[0]}")
        table = bench.table(bench.machine(), load_before, loadavg(), runs)
        if bench.rows:
            print()
            print(table)
        print(f"benchmark took {time.monotonic() - started:.1f} s")
        if doc and cases != {"libs"}:
            write_doc(doc, table)
            print(f"table written to {doc}")
        # The library table depends on no other case: any run of it but a smoke run
        # replaces its own block.
        libs_doc = doc or (os.path.join(SOURCE, "docs", "performance.md")
                           if not args.smoke else None)
        if bench.libs_table and libs_doc:
            write_doc(libs_doc, bench.libs_table, LIBS_BEGIN, LIBS_END)
            print(f"library table written to {libs_doc}")
    except (BenchError, subprocess.CalledProcessError, RuntimeError, OSError) as e:
        print(f"bench: {e}", file=sys.stderr)
        status = 1
    finally:
        if bench:
            bench.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
