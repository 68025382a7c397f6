"""Module commands end to end: PRE, POST and UNPOST reach the child and the plug-ins with
their path variables expanded (standard, user-defined and UPDATED_FILES); a reference to no
variable stays as written."""

from run_available import requires_update_run
from updatekit import UpdateKit

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

