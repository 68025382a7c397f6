"""The progress plug-in in real runs of build/updater (--guilib): a fresh installation of
the demo product from a shared folder and a nothing-changed run, on a pseudo-terminal and
on a pipe; the plug-in changes nothing in the outcome."""

import os
import re
import shutil
import subprocess

from test_progress_plugin import ESCAPE, lasting_lines

from run_available import requires_update_run

pytestmark = requires_update_run

BUILD = os.environ["UPDATER_BUILD_DIR"]
SOURCE = os.environ["UPDATER_SOURCE_DIR"]
UPDATER = os.path.join(BUILD, "updater")
PUBLISH = os.path.join(BUILD, "update-publish")
PLUGIN = os.path.join(BUILD, "plugins", "libupdater-progress.so")
DEMO = os.path.join(SOURCE, "scripts", "demo-product")


def publish(tmp_path):
    shutil.copytree(os.path.join(DEMO, "product"), tmp_path / "product")
    desc = tmp_path / "demo.desc"
    # No PRE commands: a fresh installation has no hook to run before installing.
    desc.write_text("".join(l for l in open(os.path.join(DEMO, "demo.desc"))
                            if not l.startswith("PRE ")))
    subprocess.run([PUBLISH, "--quiet", str(desc), str(tmp_path), str(tmp_path / "server")],
                   check=True, timeout=60)
    return "file://" + str(tmp_path / "server")


def updater_args(tmp_path, url):
    install = tmp_path / "installation"
    install.mkdir(exist_ok=True)
    return [UPDATER, f"--url={url}", "--masteridx=demo/master.idx",
            "--productroot=demo/files", "--productinfofile=demo/demo.info.gz",
            f"--install-path={install}", f"--add-var-pair=DEMO_CONF_DIR={install}/etc",
            f"--logfile={tmp_path}/update.log", "--log-append=1", f"--guilib={PLUGIN}"]


def run_on_pty(argv, cwd):
    """Runs argv under script(1), so its standard error is a real terminal."""
    command = " ".join("'" + a.replace("'", "'\\''") + "'" for a in argv)
    p = subprocess.run(["script", "-qfec", command, "/dev/null"], capture_output=True,
                       cwd=cwd, timeout=120, env=dict(os.environ, TERM="xterm",
                                                      LANG="C.UTF-8", COLUMNS="100"))
    return p.returncode, p.stdout.decode("utf-8", "replace")


def test_fresh_install_and_nothing_changed_on_a_terminal(tmp_path):
    url = publish(tmp_path)
    status, term = run_on_pty(updater_args(tmp_path, url), tmp_path)
    assert status == 0, term
    assert (tmp_path / "installation/bin/demo-app").is_file()
    assert re.search(r"\rDownloading \[#+\] 100%  6/6 files", term), term
    assert "Checked 6 files: 6 changed, 6 to download" in term
    assert "Module app: installed 1 file" in term
    assert "Module app: post command: " in term
    lines = lasting_lines(term)
    assert lines[-2:] == ["Demo Product is now at version 1.0.0",
                          "Update finished: 6 files installed in 5 modules"]
    # The engine's lines and the plug-in's never share a line.
    installed = [l for l in lines if "[ updated to version" in l]
    assert len(installed) == 6 and all(l.startswith(str(tmp_path)) for l in installed), lines

    status, term = run_on_pty(updater_args(tmp_path, url), tmp_path)
    assert status == 0, term
    assert "Nothing changed on the server" in term
    assert lasting_lines(term)[-2:] == ["Demo Product stays at version 1.0.0",
                                        "Up to date: nothing to update"]


def test_an_update_with_patches_counts_alike_everywhere_on_a_terminal(tmp_path):
    url = publish(tmp_path)
    assert run_on_pty(updater_args(tmp_path, url), tmp_path)[0] == 0
    for name in ("bin/demo-app", "lib/demo-core.dat"):
        path = tmp_path / "product" / name
        path.write_text(path.read_text() + "release 2\n")
    (tmp_path / "product/share/CHANGES").write_text("Changes in 2.0.0\n")
    desc = tmp_path / "demo.desc"
    desc.write_text(desc.read_text().replace("1.0.0", "2.0.0"))
    subprocess.run([PUBLISH, "--quiet", f"--previous={tmp_path}/server", str(desc), str(tmp_path),
                    str(tmp_path / "server2")], check=True, timeout=60)
    status, term = run_on_pty(updater_args(tmp_path, "file://" + str(tmp_path / "server2")),
                              tmp_path)
    assert status == 0, term
    lines = lasting_lines(term)
    # Two files are rebuilt from patches, one is fetched whole: each count says so.
    assert "Fetched 2 patches" in term and "Downloading 1 file (" in term, lines
    assert re.search(r"Downloading \[#+\] 100%  1/1 file  ", term), term
    assert "Downloaded 1 file, " in term and "Module docs: installed 1 file" in lines
    assert re.search(r"Module core: installing \[#+\] 1/1 file(?!s)", term), term
    assert not re.search(r"\b1 files\b", "\n".join(lines)), lines
    assert lines[-2:] == ["Demo Product 1.0.0 \u2192 2.0.0",
                          "Update finished: 3 files installed in 3 modules"]


def test_plain_lines_when_standard_error_is_not_a_terminal(tmp_path):
    url = publish(tmp_path)
    p = subprocess.run(updater_args(tmp_path, url), capture_output=True, text=True,
                       cwd=tmp_path, timeout=120)
    assert p.returncode == 0, p.stdout + p.stderr
    assert "\x1b" not in p.stderr and "\r" not in p.stderr
    lines = p.stderr.splitlines()
    assert lines[0] == "Update started (updater 7.0.10)"
    assert "Checked 6 files: 6 changed, 6 to download" in lines
    assert any(re.fullmatch(r"Downloaded 6 files, .* in .* \(.*/s\)", l) for l in lines)
    assert lines[-1] == "Update finished: 6 files installed in 5 modules"
    # The installation is the same as without the plug-in.
    assert (tmp_path / "installation/etc/demo.conf").read_text() == \
        open(os.path.join(DEMO, "product/etc/demo.conf")).read()
