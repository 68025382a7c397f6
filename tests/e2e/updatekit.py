"""What the update-run tests share: a product made of modules and files, published with the
real build/update-publish into a server tree, an installation directory, and the real
updater run against the tree with the recording plug-in as both plug-ins.

    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"v1"}, pre="mark pre core")
    kit.publish()
    srv = nginx(kit.www)
    r = kit.run([srv.url])
    assert r.returncode == 0 and kit.installed("core", "tool") == b"v1"

Module commands: "mark <words>" runs the script `mark` that the kit puts into the
installation directory; it appends its arguments as one line to `markers.txt` there, so a
test sees which commands ran and in which order.
"""

import gzip
import hashlib
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

BUILD = Path(os.environ.get("UPDATER_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
UPDATER = BUILD / "updater"
MESSAGE_FILE = BUILD / "update_msg.lqr"
PUBLISH = BUILD / "update-publish"
RECORDING = BUILD / "plugins" / "librecording.so"

UPDATEROOT = "demo/files"
PRODUCTINFO = "demo/demo.info.gz"
MASTERIDX = "demo/master.idx"
# What a run that ended records beside the kept index (the installed files, the last run).
KEPT_RECORDS = {"master.idx.installed", "master.idx.lastrun", "master.idx.config",
                "master.idx.release"}
RUN_TIMEOUT = 60  # seconds; a run of these small products takes well under one

MARK_SCRIPT = """#!/bin/sh
echo "$*" >> "$(dirname "$0")/markers.txt"
"""

# Events of the update run itself (not of the downloader, the check or the file steps).
RUN_EVENTS = {
    "onUpdateStart", "onUpdateFinish", "notifyUpdateStart", "beforeDownloadFiles",
    "afterDownloadFiles", "downloadNothingChanged", "onCheckMainIdx", "onCheckFilesDone",
    "notifyModuleFileList", "notifyModuleFileListDone", "globalPre", "overrideInstall",
    "globalAfterSelfupdatePre", "BeforeUpdateModule", "beforePre", "afterPre", "beforeBackup",
    "afterBackup", "beforeInstallModule", "afterInstallModule", "beforePost", "afterPost",
    "AfterUpdateModule", "globalPost", "notifyUpdateCriticalError", "onUpdateCriticalError",
    "notifyUpdateNonCriticalError", "onUpdateNonCriticalError", "notifyProductInfoFile",
    "getSpecialDownloadFilesFirst", "getSpecialDownloadFilesSecond", "setTidy",
    "beforeRollback", "afterRollback", "overrideRollback", "onSelfUpdateStart",
    "onSelfUpdateFinish",
}

EVENT_LINE = re.compile(r"^(LIB|GUI) (\w+)\((.*)\)$")


def md5(data):
    return hashlib.md5(data).hexdigest()


def tree(root):
    """{relative path: bytes} of every file below root."""
    root = Path(root)
    if not root.exists():
        return {}
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


class UpdateKit:
    def __init__(self, base):
        self.base = Path(base)
        self.prod = self.base / "prod"
        self.www = self.base / "www"
        self.inst = self.base / "inst"
        self.tmp = self.base / "work"
        self.backup = self.base / "backup"
        self.log = self.base / "update.log"
        self.events_file = self.base / "events.txt"
        self.bin = self.base / "bin"
        for d in (self.prod, self.www, self.inst, self.bin):
            d.mkdir(parents=True, exist_ok=True)
        # A private copy of the updater: its directory is where the default configuration
        # file would be looked for.
        shutil.copy2(UPDATER, self.bin / "updater")
        shutil.copy2(MESSAGE_FILE, self.bin / "update_msg.lqr")
        mark = self.inst / "mark"
        mark.write_text(MARK_SCRIPT)
        mark.chmod(0o755)
        self.modules = []
        self.version = "1.0"

    # ---- the product ------------------------------------------------------------------
    def module(self, name, files, pre=None, post=None, unpost=None, destination=None,
               source=None, check=None):
        """Adds a module (or replaces its files when it exists): files is {path: bytes}."""
        for m in self.modules:
            if m["name"] == name:
                m["files"] = dict(files)
                return m
        m = {"name": name, "files": dict(files), "pre": pre, "post": post, "unpost": unpost,
             "check": check,
             "destination": destination or f"%INSTALL_PATH%/{name}",
             "source": source or name}
        self.modules.append(m)
        return m

    def set_file(self, module, path, data):
        for m in self.modules:
            if m["name"] == module:
                m["files"][path] = data
                return
        raise KeyError(module)

    def description(self):
        lines = ["[product]", "NAME = Demo", f"VERSION = {self.version}", f"UPDATEROOT = {UPDATEROOT}",
                 f"PRODUCTINFO = {PRODUCTINFO}", f"MASTERIDX = {MASTERIDX}", ""]
        for m in self.modules:
            lines += ["[module]", f"NAME = {m['name']}", f"SOURCE = {m['source']}",
                      f"DESTINATION = {m['destination']}", f"BASE = {m['name']}"]
            for key in ("pre", "post", "unpost", "check"):
                if m[key]:
                    lines.append(f"{key.upper()} = {m[key]}")
            for path in m["files"]:
                lines.append(f"{'CONFIG' if path in m.get('config', ()) else 'FILE'} = {path}")
            lines.append("")
        return "\n".join(lines)

    def publish(self, www=None, extra=(), previous=(), program=PUBLISH):
        """Writes the product directory and publishes it into www (default self.www);
        extra: further publisher options (e.g. --sign-key=...); previous: earlier trees
        to make patches from; program: the publisher to run."""
        shutil.rmtree(self.prod)
        for m in self.modules:
            for path, data in m["files"].items():
                p = self.prod / m["name"] / path
                p.parent.mkdir(parents=True, exist_ok=True)
                p.write_bytes(data)
                p.chmod(m.get("modes", {}).get(path, 0o755))
        desc = self.base / "demo.desc"
        desc.write_text(self.description())
        www = Path(www or self.www)
        r = subprocess.run([str(program), "--quiet", *extra,
                            *[f"--previous={p}" for p in previous], str(desc), str(self.prod),
                            str(www)],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        return www

    def new_key(self, name):
        """A fresh signing key pair <base>/<name>.pub and .key; gives the base path."""
        base = self.base / name
        subprocess.run([str(PUBLISH), f"--new-key={base}"], check=True, capture_output=True)
        return base

    def server_file(self, module, path, www=None):
        return Path(www or self.www) / UPDATEROOT / module / (path + ".gz")

    # ---- the installation ---------------------------------------------------------------
    def installed(self, module, path):
        """The installed file's bytes, or None."""
        p = self.inst / module / os.path.basename(path)
        return p.read_bytes() if p.exists() else None

    def installed_tree(self):
        """The installation without the kit's own bookkeeping files and the updater's
        partial transfers."""
        return {k: v for k, v in tree(self.inst).items()
                if k not in ("markers.txt", "mark") and not k.startswith("demo/")
                and not k.startswith(".update-partial/")}

    def kept_index(self):
        return self.inst / MASTERIDX

    def markers(self):
        p = self.inst / "markers.txt"
        return p.read_text().splitlines() if p.exists() else []

    def clear_markers(self):
        (self.inst / "markers.txt").unlink(missing_ok=True)

    # ---- running the updater -------------------------------------------------------------
    def args(self, urls, extra=(), plugins=True):
        # Without a temporary directory (tmp None) the run makes its default one.
        a = [f"--install-path={self.inst}"] + ([f"--tmpdir={self.tmp}"] if self.tmp else []) + [
             f"--backup-dir={self.backup}", f"--logfile={self.log}",
             f"--productroot={UPDATEROOT}", f"--productinfofile={PRODUCTINFO}",
             f"--masteridx={MASTERIDX}"]
        if plugins:
            a += [f"--updatelib={RECORDING}", f"--guilib={RECORDING}"]
        a += [f"--url={u}" for u in urls]
        return a + list(extra)

    def env(self, answers="", throw="", **extra):
        env = dict(os.environ)
        env.pop("EXE_NAME", None)
        env["UPD_REC_FILE"] = str(self.events_file)
        env["UPD_REC_ANSWERS"] = answers
        env["UPD_REC_THROW"] = throw
        env.update(extra)
        return env

    def run(self, urls, extra=(), answers="", throw="", env=None, timeout=RUN_TIMEOUT,
            plugins=True, prefix=()):
        """Runs the updater (under prefix, a tracer, if given) to its end; the event file
        starts empty."""
        self.events_file.unlink(missing_ok=True)
        e = self.env(answers, throw)
        e.update(env or {})
        argv = [*prefix, str(self.bin / "updater")] + self.args(urls, extra, plugins)
        return subprocess.run(argv, cwd=self.base, capture_output=True, timeout=timeout, env=e,
                              stdin=subprocess.DEVNULL)

    def start(self, urls, extra=(), answers="", throw="", env=None, program=None,
              plugins=True, cwd=None):
        self.events_file.unlink(missing_ok=True)
        e = self.env(answers, throw)
        e.update(env or {})
        program = program or (self.bin / "updater")
        # Output goes to files: processes started by this one (a self-update) keep them open.
        with open(self.base / "stdout.txt", "wb") as out, \
                open(self.base / "stderr.txt", "wb") as err:
            return subprocess.Popen([str(program)] + self.args(urls, extra, plugins),
                                    cwd=cwd or self.base, stdout=out, stderr=err, env=e,
                                    stdin=subprocess.DEVNULL)

    # ---- what the plug-in heard -----------------------------------------------------------
    def events(self):
        """[(table, name, args text)] in the order recorded."""
        if not self.events_file.exists():
            return []
        out = []
        for line in self.events_file.read_text(encoding="utf-8").splitlines():
            m = EVENT_LINE.match(line)
            if m:
                out.append((m.group(1), m.group(2), m.group(3)))
        return out

    def run_events(self):
        """The update run's own events as "TABLE name(args)" texts."""
        return [f"{t} {n}({a})" for t, n, a in self.events() if n in RUN_EVENTS]

    def names(self, wanted=None):
        return [n for _, n, _ in self.events() if wanted is None or n in wanted]

    def log_text(self):
        return self.log.read_text(encoding="utf-8", errors="replace") if self.log.exists() else ""


def info_text(kit):
    """The published product info document as text."""
    return gzip.decompress((kit.www / PRODUCTINFO).read_bytes()).decode("utf-8")


def write_info(kit, text):
    """Publishes `text` as the product info, with its own checksum made to match: the digest
    covers every line but the one that carries it."""
    lines = text.splitlines(keepends=True)
    body = "".join(l for l in lines if not l.startswith("<MD5 value="))
    digest = hashlib.md5(body.encode("utf-8")).hexdigest()
    text = re.sub(r'<MD5 value="[0-9a-f]*"/>', f'<MD5 value="{digest}"/>', text)
    (kit.www / PRODUCTINFO).write_bytes(gzip.compress(text.encode("utf-8")))


def two_module_kit(base):
    """The usual small product, published: "base" (a library of random bytes and one of
    fixed bytes) and "core" (a script and a text), each module with "mark" commands."""
    kit = UpdateKit(base)
    kit.module("base", {"lib/liba.so": os.urandom(3000), "lib/libb.so": b"b" * 100},
               pre="mark pre base", post="mark post base", unpost="mark unpost base")
    kit.module("core", {"bin/tool": b"#!/bin/sh\necho tool v1\n", "README": b"read me\n"},
               pre="mark pre core", post="mark post core", unpost="mark unpost core")
    kit.publish()
    return kit


def wait_for(predicate, timeout=30.0, step=0.05):
    """Polls predicate until it is true or timeout seconds have passed; gives its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def interrupt(process):
    process.send_signal(signal.SIGINT)
