#!/usr/bin/env python3
"""Writes a benchmark product: a product directory and its publisher description.

The same seed gives the same bytes on every machine. Files are spread over modules of at
most 100 files (the updater installs a file under its base name in its module's
destination, so every module gets its own destination directory). Sizes are log-distributed
between --min-kib and --max-kib and scaled towards --total-mib; even-numbered files are
text-like (words and numbers), odd-numbered ones random bytes. With --big-mib > 0 a module
"big" holds one more file of that size (text-like blocks with random runs, so it neither
compresses to nothing nor dominates the publishing time).

    gen_product.py OUT [--files 2000] [--total-mib 200] [--big-mib 512] [--seed 1]

OUT receives product/ (the files), product.desc (the description for update-publish) and
files.txt (module, path below product/, size: one file per line).
"""

import argparse
import math
import os
import random
import shutil

WORDS = ("update module server index digest install backup restore product version file "
         "download check verify archive gzip stream config record entry value option path "
         "system library plugin progress network proxy connection retry timeout buffer "
         "memory piece length header payload result error status report").split()
MODULE_FILES = 100
UPDATEROOT = "bench/files"
PRODUCTINFO = "bench/bench.info.gz"
MASTERIDX = "bench/master.idx"


def text_pool(rng, size):
    """A block of text-like bytes (words, numbers, line breaks) to take file slices from."""
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(WORDS) if rng.random() < 0.85 else str(rng.randrange(10**6))
                        for _ in range(rng.randrange(4, 14))) + "\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def sizes(rng, count, min_b, max_b, total_b):
    """Log-uniform sizes in [min_b, max_b], scaled so that they add up to about total_b."""
    lo, hi = math.log(min_b), math.log(max_b)
    raw = [math.exp(rng.uniform(lo, hi)) for _ in range(count)]
    if total_b:
        for _ in range(8):  # clamping moves the sum: a few rounds settle it
            factor = total_b / sum(raw)
            raw = [min(max(s * factor, min_b), max_b) for s in raw]
    return [int(s) for s in raw]


def content(rng, pool, index, size):
    if index % 2:
        return rng.randbytes(size)
    start = rng.randrange(0, max(1, len(pool) - size))
    data = pool[start:start + size]
    while len(data) < size:  # files larger than the pool repeat it
        data += pool[:size - len(data)]
    return data


def write_big(path, rng, pool, size):
    block = 1 << 20
    with open(path, "wb") as f:
        written = 0
        while written < size:
            n = min(block, size - written)
            piece = bytearray(pool[:n]) if len(pool) >= n else bytearray(content(rng, pool, 0, n))
            run = rng.randbytes(min(n, 64 << 10))  # a random run per MiB
            at = rng.randrange(0, n - len(run) + 1)
            piece[at:at + len(run)] = run
            f.write(piece)
            written += n


def description(modules, big, commands):
    lines = ["; benchmark product written by bench/gen_product.py", "[product]",
             "NAME = Bench Product", "VERSION = 1.0.0", f"UPDATEROOT = {UPDATEROOT}",
             f"PRODUCTINFO = {PRODUCTINFO}", f"MASTERIDX = {MASTERIDX}", ""]
    names = list(modules) + (["big"] if big else [])
    for name in names:
        lines += ["[module]", f"NAME = {name}", f"SOURCE = {name}",
                  f"DESTINATION = %INSTALL_PATH%/{name}", f"BASE = {name}"]
        if commands:
            lines += [f"PRE = {commands}", f"POST = {commands}"]
        lines += ["FILE = *", ""]
    return "\n".join(lines)


def generate(out, files, total_mib, min_kib, max_kib, big_mib, seed, commands=None):
    rng = random.Random(seed)
    product = os.path.join(out, "product")
    shutil.rmtree(product, ignore_errors=True)
    os.makedirs(product)
    pool = text_pool(rng, 2 << 20)
    listing = []
    modules = []
    for i, size in enumerate(sizes(rng, files, min_kib * 1024, max_kib * 1024,
                                   total_mib * (1 << 20) if total_mib else 0)):
        module = f"m{i // MODULE_FILES:03d}"
        if not modules or modules[-1] != module:
            modules.append(module)
            os.makedirs(os.path.join(product, module))
        name = f"f{i:05d}.{'bin' if i % 2 else 'txt'}"
        with open(os.path.join(product, module, name), "wb") as f:
            f.write(content(rng, pool, i, size))
        listing.append((module, f"{module}/{name}", size))
    if big_mib:
        os.makedirs(os.path.join(product, "big"))
        size = big_mib << 20
        write_big(os.path.join(product, "big", "big.bin"), rng, pool, size)
        listing.append(("big", "big/big.bin", size))
    with open(os.path.join(out, "product.desc"), "w") as f:
        f.write(description(modules, big_mib, commands))
    with open(os.path.join(out, "files.txt"), "w") as f:
        for module, path, size in listing:
            f.write(f"{module} {path} {size}\n")
    return listing


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out", help="output directory (product/, product.desc, files.txt)")
    ap.add_argument("--files", type=int, default=2000, help="number of ordinary files")
    ap.add_argument("--total-mib", type=float, default=200,
                    help="their total size to aim at (0: leave the drawn sizes)")
    ap.add_argument("--min-kib", type=float, default=1)
    ap.add_argument("--max-kib", type=float, default=1024)
    ap.add_argument("--big-mib", type=int, default=512, help="size of the big file; 0 leaves it out")
    ap.add_argument("--no-big", action="store_true", help="leave the big file out")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--commands", help="PRE and POST command of every module")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    listing = generate(a.out, a.files, a.total_mib, a.min_kib, a.max_kib,
                       0 if a.no_big else a.big_mib, a.seed, a.commands)
    total = sum(s for _, _, s in listing)
    print(f"{len(listing)} files, {total / (1 << 20):.1f} MiB in {a.out}/product")


if __name__ == "__main__":
    main()
