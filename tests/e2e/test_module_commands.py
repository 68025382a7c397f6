"""Module commands end to end: PRE, POST and UNPOST reach the child and the plug-ins with
their path variables expanded (standard, user-defined and UPDATED_FILES); a reference to no
variable stays as written. Their outcome is reported as it was: a status other than 0 as a
warning, a program that cannot be started as an error; the publisher warns about a
program the product does not install into the installation root."""

import subprocess

from run_available import requires_update_run
from updatekit import PUBLISH, UpdateKit

pytestmark = requires_update_run


def test_commands_get_their_path_variables(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    kit.module("core", {"bin/tool": b"tool v1\n"}, pre="mark pre %INSTALL_PATH%",
               post="mark post %install_dir% %MYVAR% %UPDATED_FILES% %NOSUCH% 50%",
               unpost="mark unpost %MYVAR%")
    kit.publish()
    srv = nginx(kit.www)
    r = kit.run([srv.url], ["--add-var-pair=MYVAR=hello"])
    assert r.returncode == 0, kit.log_text()
    inst = str(kit.inst)
    post = f"post {inst} hello [core] {inst}/core/tool %NOSUCH% 50%"
    assert kit.markers() == [f"pre {inst}", post]
    assert f'GUI beforePost("core", "mark {post.split(" [core]")[0]} [core] ' \
        in "\n".join(kit.run_events())

    # A failing post command's rollback runs UNPOST expanded too.
    kit.clear_markers()
    kit.set_file("core", "bin/tool", b"tool v2\n")
    kit.publish()
    r = kit.run([srv.url], ["--add-var-pair=MYVAR=hello"], answers="gui.afterPost=1")
    assert r.returncode == 255
    assert kit.markers()[:3] == [f"pre {inst}", post, "unpost hello"], \
        kit.markers()


def test_command_outcomes_are_reported_truthfully(tmp_path, nginx):
    kit = UpdateKit(tmp_path)
    fail = kit.inst / "fail3"
    fail.write_text("#!/bin/sh\nexit 3\n")
    fail.chmod(0o755)
    kit.module("core", {"bin/tool": b"tool v1\n"}, pre="mark pre core",
               post="%INSTALL_PATH%/bin/fail3 now")
    kit.module("other", {"x": b"x\n"}, post="nosuch arg")
    kit.publish()
    srv = nginx(kit.www)
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()  # a command's outcome does not fail the run
    out, log = r.stdout.decode(), kit.log_text()
    for text in (f'The command "{fail} now" of the module core ended with status 3',
                 'The command of the module other cannot be started: "nosuch": '
                 "No such file or directory"):
        assert text in out and text in log, (text, out)
    assert log.count("successfully executed") == 1  # "mark pre core" only

    check = subprocess.run([str(PUBLISH), "--check", str(kit.base / "demo.desc"), str(kit.prod),
                            str(kit.www)], capture_output=True, text=True, timeout=60)
    assert check.returncode == 0
    assert ('warning: the POST command of the module core runs "%INSTALL_PATH%/bin/fail3", but '
            "the product installs no file fail3 into the installation root") in check.stderr
