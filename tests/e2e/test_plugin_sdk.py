"""What `cmake --install` puts in place works where it is put: the installed updater,
publisher and progress plug-in publish, install and update a product from any prefix;
the man pages and examples name that prefix; and a product team builds its own plug-in
from the installed headers and updater-plugin.pc alone."""

import ctypes
import glob
import os
import re
import shutil
import subprocess

from updatekit import UpdateKit, tree

BUILD = os.environ["UPDATER_BUILD_DIR"]

PLUGIN = r"""
#include <update/UpdateGuiCallbacks.h>
#include <update/UpdateLibCallbacks.h>

namespace {
class Mine : public CUpdateLibCallbacks {
public:
    int globalPre() override { return 0; }
    int downloadFile(const std::wstring& src, const std::wstring& dest) override {
        if (src.empty()) throw CPluginException(L"no source for " + dest);
        return 0;
    }
};
}  // namespace

extern "C" {
CUpdateLibCallbacks* InitializeLibA() { return new Mine; }
void UninitializeLibA(CUpdateLibCallbacks* table) { delete table; }
}
"""


def slot(obj, index):
    """The function in virtual-table slot `index` of the C++ object at `obj`."""
    vtable = ctypes.cast(obj, ctypes.POINTER(ctypes.c_void_p))[0]
    address = ctypes.cast(vtable, ctypes.POINTER(ctypes.c_void_p))[index]
    return ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(address)


def test_installed_headers_build_a_working_plugin(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    pcs = glob.glob(str(prefix / "**" / "updater-plugin.pc"), recursive=True)
    assert len(pcs) == 1
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(pcs[0]))
    cflags = subprocess.run(["pkg-config", "--cflags", "updater-plugin"], env=env, check=True,
                            capture_output=True, text=True, timeout=30).stdout.split()
    assert any(f.startswith("-I" + str(prefix)) for f in cflags)

    source = tmp_path / "mine.cpp"
    source.write_text(PLUGIN)
    library = tmp_path / "libmine.so"
    subprocess.run(["g++", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
                    "-Werror", *cflags, "-o", str(library), str(source)],
                   check=True, timeout=300)

    symbols = subprocess.run(["nm", "-D", "--defined-only", str(library)], check=True,
                             capture_output=True, text=True, timeout=30).stdout
    assert " InitializeLibA" in symbols and " UninitializeLibA" in symbols

    lib = ctypes.CDLL(str(library))
    lib.InitializeLibA.restype = ctypes.c_void_p
    table = lib.InitializeLibA()
    assert table
    assert slot(table, 2)(table) == 0    # first callback: accepted
    assert slot(table, 37)(table) == 0   # globalPre, overridden: done by the plug-in
    assert slot(table, 39)(table) == -1  # overrideInstall, default: left to the updater
    assert slot(table, 54)(table) == -1  # globalPost, the last slot
    lib.UninitializeLibA.argtypes = [ctypes.c_void_p]
    lib.UninitializeLibA(table)


def test_installed_programs_publish_install_and_update(tmp_path, nginx):
    prefix, stage = tmp_path / "prefix", tmp_path / "stage"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], check=True,
                   stdout=subprocess.DEVNULL, timeout=120, env=dict(os.environ, DESTDIR=str(stage)))
    publish, updater = prefix / "bin/update-publish", prefix / "bin/updater"
    progress = prefix / "lib/updater/plugins/libupdater-progress.so"
    for program in (publish, stage / "usr/bin/update-publish"):
        r = subprocess.run([str(program), "--help"], capture_output=True, text=True, timeout=30)
        assert r.returncode == 0 and "update-publish(1)" in r.stdout, r.stderr
    r = subprocess.run([str(publish), "--version"], capture_output=True, text=True, timeout=30)
    assert re.fullmatch(r"update-publish \d+\.\d+\.\d+\n", r.stdout)

    # The documents name the install they belong to, never a root working directory.
    docs = prefix / "share/doc/updater"
    assert (docs / "security.md").is_file() and (prefix / "share/man/man1/update-publish.1").is_file()
    service = (docs / "examples/updater.service").read_text()
    assert f"ExecStart={prefix}/bin/updater --config-file={prefix}/etc/updater/update.conf" in service
    assert "WorkingDirectory=/\n" not in service
    conf = (docs / "examples/update.conf").read_text()
    assert re.search(rf"^logfile *= {prefix}/var/log/updater/update.log$", conf, re.M)
    assert re.search(r"^log-append *= 1$", conf, re.M) and "install-path" in conf
    assert f"{prefix}/lib/updater/plugins" in (prefix / "share/man/man1/updater.1").read_text()
    staged = (stage / "usr/share/doc/updater/examples/updater.service").read_text()
    assert "ExecStart=/usr/bin/updater --config-file=/etc/updater/update.conf" in staged
    if shutil.which("systemd-analyze"):
        r = subprocess.run(["systemd-analyze", "verify", str(docs / "examples/updater.service")],
                           capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, MANPATH=str(prefix / "share/man")))
        assert "executable" not in r.stderr and "No such file" not in r.stderr, r.stderr

    # Publish with the installed publisher (removing what a killed one left, keeping what a
    # running one writes), install and update with the installed updater and plug-in.
    kit = UpdateKit(tmp_path / "kit")
    kit.module("core", {"bin/tool": b"v1", "README": b"r1"})
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale = kit.www / "demo" / f".master.idx.publish-{dead.pid}-a1b2c3"
    live = kit.www / "demo" / f".master.idx.publish-{os.getpid()}-a1b2c3"
    for version in (b"v1", b"v2"):
        kit.set_file("core", "bin/tool", version)
        if version == b"v2":
            stale.write_bytes(b"left by a killed publisher")
            live.write_bytes(b"still being written")
        kit.publish(program=publish)
        assert not stale.exists() and (version == b"v1" or live.exists())
        srv = nginx(kit.www)
        r = subprocess.run([str(updater)] + kit.args([srv.url], plugins=False) +
                           [f"--guilib={progress}"], capture_output=True, timeout=60,
                           cwd=tmp_path, stdin=subprocess.DEVNULL)
        assert r.returncode == 0, r.stdout + r.stderr
        assert kit.installed("core", "bin/tool") == version
    assert tree(kit.inst / "core") == {"tool": b"v2", "README": b"r1"}
