"""A typo cannot install into the wrong place: a key that is no option of the updater (on
the command line or in a configuration file) is still handed to the plug-ins, but warned
about with the nearest option; a default install path of "/" is refused, an explicit one
is not."""

import subprocess

from run_available import requires_update_run
from updatekit import two_module_kit

pytestmark = requires_update_run


def test_unknown_keys_are_warned_about_and_a_default_root_is_refused(tmp_path, nginx):
    kit = two_module_kit(tmp_path)
    srv = nginx(kit.www)
    conf = tmp_path / "typo.conf"
    conf.write_text("logfle = /tmp/elsewhere.log\n")
    r = kit.run([srv.url], ["--instal-path=/opt/x", f"--config-file={conf}"])
    assert r.returncode == 0, kit.log_text()
    for text in ('"instal-path" (on the command line) is no option of the updater; it is only '
                 "handed to the plug-ins: did you mean --install-path?",
                 f'"logfle" (in "{conf}") is no option of the updater; it is only handed to the '
                 "plug-ins: did you mean --logfile?"):
        assert text in r.stdout.decode() and text in kit.log_text(), (text, r.stdout)
    assert 'LIB notifyConfigFile' in "\n".join(f"{t} {n}" for t, n, _ in kit.events())

    # Started in "/" without --install-path: refused; with --install-path=/ it goes on (a
    # check, which writes nothing there).
    args = [a for a in kit.args([srv.url], ["--checkdirty"], plugins=False)
            if not a.startswith("--install-path=")]
    r = subprocess.run([str(kit.bin / "updater")] + args, cwd="/", capture_output=True,
                       timeout=60)
    assert r.returncode == 255
    assert b'No --install-path was given and the working directory is "/"' in r.stdout, r.stdout
    r = subprocess.run([str(kit.bin / "updater"), "--install-path=/"] + args, cwd="/",
                       capture_output=True, timeout=60)
    assert r.returncode == 255 and b"update available: 4 files in 2 modules" in r.stdout, \
        r.stdout
