"""A product team builds its own plug-in outside the tree from what `cmake --install`
puts in place (the plug-in headers and updater-plugin.pc), and the result is a library
whose table answers through the slots the updater calls."""

import ctypes
import glob
import os
import subprocess

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
