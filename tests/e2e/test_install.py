"""`cmake --install` into a staging directory (DESTDIR): one program directory with the
updater, its message file and the progress plug-in, a command on PATH that reaches it, the
publisher, the man page and the example units; the installed updater answers --version and
a help run from there."""

import configparser
import os
import re
import shutil
import subprocess

import pytest

BUILD = os.environ["UPDATER_BUILD_DIR"]
SOURCE = os.environ["UPDATER_SOURCE_DIR"]

HELP_ARGS = ["--masteridx=example/master.idx", "--url=http://127.0.0.1:9/",
             "--productinfofile=example/example.info.gz", "--productroot=example/files",
             "--help"]


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    stage = tmp_path_factory.mktemp("stage")
    subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], check=True,
                   env=dict(os.environ, DESTDIR=str(stage)), stdout=subprocess.DEVNULL,
                   timeout=120)
    return stage


def test_layout(staged):
    prog = staged / "usr/lib/updater"
    for name in ("updater", "update_msg.lqr", "plugins/libupdater-progress.so"):
        assert (prog / name).is_file(), name
    assert os.access(prog / "updater", os.X_OK)
    link = staged / "usr/bin/updater"
    assert link.is_symlink() and os.readlink(link) == "../lib/updater/updater"
    assert os.access(staged / "usr/bin/update-publish", os.X_OK)
    assert (staged / "usr/share/man/man1/updater.1").is_file()
    for name in ("updater.service", "updater.timer", "update.conf"):
        assert (staged / "usr/share/doc/updater/examples" / name).is_file(), name
    # Every guide a man page refers to is installed beside the examples.
    pages = (staged / "usr/share/man/man1/updater.1").read_text() + \
        (staged / "usr/share/man/man1/update-publish.1").read_text()
    for name in set(re.findall(r"([a-z]+\.md)", pages)):
        assert (staged / "usr/share/doc/updater" / name).is_file(), name
    assert (staged / "usr/include/updater/update/UpdateGuiCallbacks.h").is_file()
    assert list(staged.glob("usr/lib/**/pkgconfig/updater-plugin.pc"))
    # Nothing of the build tree or the test plug-ins is installed.
    installed = [str(p.relative_to(staged)) for p in staged.rglob("*")]
    assert not [p for p in installed if "recording" in p or "unit_tests" in p]


def test_installed_updater_answers_version_and_help(staged, tmp_path):
    updater = str(staged / "usr/bin/updater")
    p = subprocess.run([updater, "--version"], capture_output=True, text=True, cwd=tmp_path,
                       timeout=30)
    assert p.returncode == 0 and p.stdout == "Product version : 7.0.10\n"

    p = subprocess.run([updater, *HELP_ARGS], capture_output=True, text=True, cwd=tmp_path,
                       timeout=30)
    assert p.returncode == 0, p.stdout + p.stderr
    # Reached through the link, the updater still knows its program directory: that is
    # where its message file was found and where its default configuration file lies.
    prog = os.path.realpath(staged / "usr/lib/updater")
    assert f"--config-file=<{prog}/update.conf>" in p.stdout
    assert f"--install-path=<{tmp_path}>" in p.stdout
    assert not list(tmp_path.iterdir())  # a help run writes nothing

    # Without its message file beside it the updater says which file it missed.
    moved = staged / "usr/lib/updater/update_msg.lqr.away"
    shutil.move(staged / "usr/lib/updater/update_msg.lqr", moved)
    try:
        p = subprocess.run([updater, *HELP_ARGS], capture_output=True, text=True,
                           cwd=tmp_path, timeout=30)
        assert p.returncode == 255
        assert f"{prog}/update_msg.lqr" in p.stdout + p.stderr
    finally:
        shutil.move(moved, staged / "usr/lib/updater/update_msg.lqr")


def test_installed_progress_plugin_loads_in_the_installed_updater(staged, tmp_path):
    plugin = staged / "usr/lib/updater/plugins/libupdater-progress.so"
    p = subprocess.run([str(staged / "usr/bin/updater"), f"--guilib={plugin}", *HELP_ARGS],
                       capture_output=True, text=True, cwd=tmp_path, timeout=30)
    assert p.returncode == 0, p.stdout + p.stderr
    assert "--guilib=<" in p.stdout


def test_man_page_documents_every_option(staged, tmp_path):
    p = subprocess.run([str(staged / "usr/bin/updater"), *HELP_ARGS], capture_output=True,
                       text=True, cwd=tmp_path, timeout=30)
    options = re.findall(r"^--([A-Za-z%\-]+)", p.stdout, re.M)
    assert len(options) == 55
    page = (staged / "usr/share/man/man1/updater.1").read_text()
    for name in options:
        assert "\\-\\-" + name.replace("-", "\\-") in page, name
    if shutil.which("groff"):
        r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z",
                            str(staged / "usr/share/man/man1/updater.1")],
                           capture_output=True, text=True, timeout=30)
        assert r.returncode == 0 and r.stderr == ""


def test_example_units_run_the_installed_command(staged):
    examples = staged / "usr/share/doc/updater/examples"
    service = configparser.ConfigParser(strict=False, interpolation=None)
    service.optionxform = str
    service.read(examples / "updater.service")
    exec_start = service["Service"]["ExecStart"].split()
    assert service["Service"]["Type"] == "oneshot"
    assert exec_start[0] == "/usr/bin/updater" and (staged / exec_start[0][1:]).exists()
    config = exec_start[1].split("=", 1)[1]
    assert config == "/etc/updater/update.conf"
    timer = configparser.ConfigParser(strict=False, interpolation=None)
    timer.read(examples / "updater.timer")
    assert timer["Timer"]["OnCalendar"] and timer["Install"]["WantedBy"] == "timers.target"

    # The example configuration is one the updater accepts: a help run with it passes the
    # option rules (every value, the servers included, is read and checked).
    conf = (examples / "update.conf").read_text()
    p = subprocess.run([str(staged / "usr/bin/updater"),
                        f"--config-file={examples / 'update.conf'}", "--help"],
                       capture_output=True, text=True, timeout=30)
    assert p.returncode == 0, p.stdout
    assert "masteridx" in conf
