#!/usr/bin/env python3
"""Delta updates: the bytes nginx sends for an update through patches, against today's
full update of the same two versions.

Each product is published as version 1 and installed; version 2 is published over it with
--previous (patches from version 1) and installed twice from copies of the version 1
installation: with --delta=0 (what every update costs today) and with patches. Bytes are
nginx's $body_bytes_sent of the run's requests; peak memory is the updater's rusage.

    bench/delta.py --old-build DIR --new-build DIR [--build build] [--write-doc FILE]

Products:
  binaries  the updater, update-publish and message file of two builds (two commits)
  text      200 text files of 8 to 64 KiB; version 2 edits three lines in each

Goals: binaries at most 30 % of today's bytes, text at most 10 %, no file costs more than
its ".gz", and the peak memory of the delta run stays within the bound of
docs/performance.md (the full run's peak + twice the largest patched file + 4 MiB).
Exit status 0 when every run installed version 2 exactly, 1 otherwise.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

import run as bench  # noqa: E402
import servers  # noqa: E402

ROOT, INFO, IDX = "demo/files", "demo/demo.info.gz", "demo/master.idx"
BEGIN, END = "<!-- delta results begin -->", "<!-- delta results end -->"
REQUEST = re.compile(r'"GET (\S+) HTTP/[^"]*" (\d+) (\d+)')


def description(files):
    lines = ["[product]", "NAME = Bench", "VERSION = 1", f"UPDATEROOT = {ROOT}",
             f"PRODUCTINFO = {INFO}", f"MASTERIDX = {IDX}", "", "[module]", "NAME = main",
             "SOURCE = main", "DESTINATION = %INSTALL_PATH%/main", "BASE = main"]
    return "\n".join(lines + [f"FILE = {f}" for f in files]) + "\n"


def binaries(args):
    names = ["updater", "update-publish", "update_msg.lqr"]
    return ({n: open(os.path.join(args.old_build, n), "rb").read() for n in names},
            {n: open(os.path.join(args.new_build, n), "rb").read() for n in names})


def texts():
    rng = random.Random(24)
    words = "update module server digest install backup product version file check".split()
    v1, v2 = {}, {}
    for i in range(200):
        lines = [" ".join(rng.choice(words) for _ in range(rng.randrange(4, 12))) + "\n"
                 for _ in range(rng.randrange(150, 1200))]
        v1[f"doc{i:03}.txt"] = "".join(lines).encode()
        for n in rng.sample(range(len(lines)), 3):
            lines[n] = f"edited line {n} of file {i}\n"
        v2[f"doc{i:03}.txt"] = "".join(lines).encode()
    return v1, v2


class Case:
    def __init__(self, work, build, nginx, name):
        self.dir = os.path.join(work, name)
        self.build, self.nginx, self.name = build, nginx, name
        self.www = os.path.join(nginx.root, name)
        os.makedirs(self.dir)

    def publish(self, files, previous=False):
        prod = os.path.join(self.dir, "prod")
        shutil.rmtree(prod, ignore_errors=True)
        os.makedirs(os.path.join(prod, "main"))
        for n, data in files.items():
            with open(os.path.join(prod, "main", n), "wb") as f:
                f.write(data)
        desc = os.path.join(self.dir, "product.desc")
        with open(desc, "w") as f:
            f.write(description(files))
        argv = [os.path.join(self.build, "update-publish"), "--quiet", desc, prod, self.www]
        if previous:
            argv.insert(2, f"--previous={self.www}")
        subprocess.run(argv, check=True)

    def update(self, inst, extra=()):
        """Runs the updater: (bytes nginx sent, per request path, peak RSS in KiB)."""
        log = self.nginx.access_log
        at = os.path.getsize(log) if os.path.exists(log) else 0
        argv = [os.path.join(self.build, "updater"), f"--install-path={inst}",
                f"--tmpdir={inst}.tmp", f"--backup-dir={inst}.bak", f"--logfile={inst}.log",
                f"--productroot={ROOT}", f"--productinfofile={INFO}", f"--masteridx={IDX}",
                f"--url={self.nginx.url}/{self.name}/", *extra]
        _, status, rss = bench.timed(argv, cwd=self.dir, check=False)
        if status != 0:
            raise bench.BenchError(f"{self.name}: the updater ended with {status}")
        with open(log, "rb") as f:
            f.seek(at)
            sent = [(m.group(1), int(m.group(3))) for m in REQUEST.finditer(f.read().decode())]
        return sum(n for _, n in sent), sent, rss

    def measure(self, v1, v2):
        self.publish(v1)
        first = os.path.join(self.dir, "v1")
        self.update(first)
        self.publish(v2, previous=True)
        results = {}
        for mode, extra in (("full", ["--delta=0"]), ("delta", [])):
            inst = os.path.join(self.dir, mode)
            shutil.copytree(first, inst)
            results[mode] = self.update(inst, extra)
            for n, data in v2.items():
                with open(os.path.join(inst, "main", n), "rb") as f:
                    if f.read() != data:
                        raise bench.BenchError(f"{self.name} ({mode}): {n} is not version 2")
        # No file may cost more than its ".gz".
        worse = []
        for path, n in results["delta"][1]:
            if path.endswith(".patch"):
                gz = os.path.join(self.www, re.sub(r"\.[0-9a-f]{32}-[0-9a-f]{32}\.patch$", ".gz",
                                                   path.split(f"/{self.name}/", 1)[1]))
                if n > os.path.getsize(gz):
                    worse.append(path)
        return results, worse, max(len(d) for d in v2.values())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--old-build", required=True)
    ap.add_argument("--new-build", required=True)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    ap.add_argument("--write-doc")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="updater-delta.")
    www = os.path.join(work, "www")
    os.makedirs(www)
    nginx = servers.Nginx(www).start()
    rows = ["| Product | Full update (bytes) | Through patches (bytes) | Ratio | Goal | "
            "Peak RSS full / delta (KiB) | Memory bound (KiB) | Files costing more |",
            "|---|---|---|---|---|---|---|---|"]
    ok = True
    try:
        for name, (v1, v2), goal in (("binaries", binaries(args), 0.30),
                                     ("text", texts(), 0.10)):
            case = Case(work, args.build, nginx, name)
            results, worse, largest = case.measure(v1, v2)
            full, delta = results["full"], results["delta"]
            ratio = delta[0] / full[0]
            bound = full[2] + 2 * largest // 1024 + 4096
            met = ratio <= goal and not worse and delta[2] <= bound
            ok = ok and met
            rows.append(f"| {name} | {full[0]} | {delta[0]} | {ratio:.1%} | "
                        f"<= {goal:.0%} {'met' if met else 'NOT met'} | {full[2]} / {delta[2]} "
                        f"| {bound} | {len(worse)} |")
            print(rows[-1], flush=True)
    finally:
        nginx.close()
        shutil.rmtree(work, ignore_errors=True)
    table = "\n".join(rows)
    if args.write_doc:
        with open(args.write_doc) as f:
            doc = f.read()
        head, rest = doc.split(BEGIN, 1)
        doc = head + BEGIN + "\n" + table + "\n" + END + rest.split(END, 1)[1]
        with open(args.write_doc, "w") as f:
            f.write(doc)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
