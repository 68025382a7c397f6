#!/usr/bin/env python3
"""What making a fresh install durable costs: N new files written the way the updater
installs them (beside the target, then renamed into place), made durable either with one
fsync per file before its rename or with one syncfs of the file system after the pass,
against no sync at all. Run it on the disk the installations live on (not a tmpfs):

    bench/sync_cost.py [--files 2000] [--size 16384] [--rounds 3] [--dir DIR]
"""

import argparse
import ctypes
import os
import shutil
import statistics
import tempfile
import time

LIBC = ctypes.CDLL(None, use_errno=True)


def install(root, files, size, per_file):
    data = os.urandom(size)
    for i in range(files):
        directory = os.path.join(root, f"d{i % 20}")
        os.makedirs(directory, exist_ok=True)
        beside = os.path.join(directory, f".f{i}.upd-new")
        fd = os.open(beside, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o755)
        os.write(fd, data)
        if per_file == "fsync":
            os.fsync(fd)
        os.close(fd)
        os.rename(beside, os.path.join(directory, f"f{i}"))
    if per_file == "syncfs":
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
        if LIBC.syncfs(fd) != 0:
            raise OSError(ctypes.get_errno(), "syncfs")
        os.close(fd)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--size", type=int, default=16384)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--dir", default=os.path.dirname(os.path.abspath(__file__)))
    a = p.parse_args()
    print(f"{a.files} files of {a.size} bytes, median of {a.rounds} rounds, in {a.dir}")
    for way in ("none", "fsync", "syncfs"):
        times = []
        for _ in range(a.rounds):
            root = tempfile.mkdtemp(prefix="sync-cost-", dir=a.dir)
            os.sync()  # every way starts with nothing else waiting for the disk
            start = time.monotonic()
            install(root, a.files, a.size, way)
            times.append(time.monotonic() - start)
            shutil.rmtree(root)
        label = {"none": "no sync", "fsync": "fsync per file", "syncfs": "one syncfs per pass"}
        print(f"{label[way]:>20}: {statistics.median(times):.3f} s")


if __name__ == "__main__":
    main()
