"""Hostile servers and bad local input, end to end with the real updater.

A server (or whoever can change its files) names paths that lead out of their directories,
sends an XML entity bomb, redirects from https:// to plain http:// or shows a certificate
the updater does not trust; local files and the command line carry lines without end.
Every case must be refused with an error that names the culprit, leave the installed tree
byte-identical, write nothing anywhere else, leave no temporary directory behind, and not
keep a master index that would make the next run take the refused update as installed:
one more run against a repaired server converges on the new version.
"""

import hashlib
import os
import re
import signal
import subprocess
import threading
import time

import pytest

import servers
from run_available import requires_update_run
from updatekit import MASTERIDX, PRODUCTINFO, RUN_TIMEOUT, UpdateKit, info_text, tree, write_info

pytestmark = requires_update_run

V1 = {"bin/tool": b"tool v1\n", "README": b"read me v1\n"}
V2 = {"bin/tool": b"tool v2\n", "README": b"read me v1\n"}
SIZE_64M = 64 << 20


# ---- helpers ---------------------------------------------------------------------------

def installed_v1(tmp_path, nginx, tls=False):
    """A kit with version 1 installed from its nginx, and version 2 published there."""
    kit = UpdateKit(tmp_path)
    kit.module("core", V1)
    kit.publish()
    srv = nginx(kit.www, tls=tls)
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    kit.set_file("core", "bin/tool", V2["bin/tool"])
    kit.publish()
    return kit, srv


def sentinel(kit):
    """A directory beside the installation and the temporary directory that a "../" or an
    absolute path in the product info would reach."""
    d = kit.base / "sentinel"
    d.mkdir(exist_ok=True)
    (d / "keep.txt").write_bytes(b"keep\n")
    return d




def assert_refused_and_untouched(kit, r, before, outside, outside_before):
    """The common outcome of every refused run."""
    assert r.returncode == 255, (r.returncode, kit.log_text())
    assert kit.installed_tree() == before
    assert tree(outside) == outside_before
    assert not kit.tmp.exists(), tree(kit.tmp)
    assert not kit.backup.exists() or tree(kit.backup) == {}
    assert kept_index_not_taken(kit)


def assert_converges(kit, srv):
    """One more run against the repaired server installs version 2 and ends clean."""
    kit.publish()
    r = kit.run([srv.url])
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["bin/tool"]
    assert kit.installed("core", "README") == V2["README"]
    assert kit.kept_index().read_bytes() == (kit.www / MASTERIDX).read_bytes()
    assert not (kit.inst / (MASTERIDX + ".pending")).exists()
    assert not kit.tmp.exists() and not kit.backup.exists()


def log_offset(srv):
    return os.path.getsize(srv.access_log) if os.path.exists(srv.access_log) else 0


def requests_since(srv, offset):
    """The lines of the server's access log written after `offset`."""
    with open(srv.access_log, "rb") as f:
        f.seek(offset)
        return f.read().decode("utf-8", "replace")


def kept_index_not_taken(kit):
    """The refused update's master index is not kept (the failed run deletes the kept copy,
    so the next run looks at every file)."""
    kept = kit.kept_index()
    return not kept.exists() or kept.read_bytes() != (kit.www / MASTERIDX).read_bytes()


def run_measured(kit, urls, timeout=RUN_TIMEOUT):
    """Runs the updater; returns (exit status, seconds, peak resident set in KiB)."""
    with open(kit.base / "stdout.txt", "wb") as out:
        p = subprocess.Popen([str(kit.bin / "updater")] + kit.args(urls, plugins=False),
                             cwd=kit.base, stdout=out, stderr=subprocess.STDOUT,
                             env=kit.env(), stdin=subprocess.DEVNULL)
    timer = threading.Timer(timeout, lambda: os.kill(p.pid, signal.SIGKILL))
    start = time.monotonic()
    timer.start()
    try:
        _, status, usage = os.wait4(p.pid, 0)
    finally:
        timer.cancel()
    elapsed = time.monotonic() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, elapsed, usage.ru_maxrss


# ---- paths that lead out of their directories --------------------------------------------

def _file_name(kit, out, absolute):
    # The download of core/bin/tool goes to <tmp>/demo/files/core/<NAME>.gz.
    return f"{out}/evil" if absolute else "../../../../sentinel/evil"


def _source(kit, out, absolute):
    # <tmp>/demo/files/<SOURCE>/<NAME>.gz
    return str(out) if absolute else "../../../sentinel"


PATH_CASES = {
    "file NAME with ..": ("NAME", _file_name, False),
    "absolute file NAME": ("NAME", _file_name, True),
    "module SOURCE with ..": ("SOURCE", _source, False),
    "absolute module SOURCE": ("SOURCE", _source, True),
    "INCLUDE with ..": ("INCLUDE", lambda kit, out, a: "../../../sentinel/extra.info.gz", False),
    "absolute INCLUDE": ("INCLUDE", lambda kit, out, a: f"{out}/extra.info.gz", True),
}


@pytest.mark.parametrize("case", list(PATH_CASES), ids=lambda c: c.replace(" ", "-"))
def test_paths_leading_out_are_refused_before_anything_is_written(tmp_path, nginx, case):
    kit, srv = installed_v1(tmp_path, nginx)
    out = sentinel(kit)
    element, make, absolute = PATH_CASES[case]
    value = make(kit, out, absolute)
    text = info_text(kit)
    if element == "NAME":
        text, n = re.subn(r"<NAME>bin/tool</NAME>|<NAME value=\"bin/tool\"/>",
                          f'<NAME value="{value}"/>', text)
    elif element == "SOURCE":
        text, n = re.subn(r'<SOURCE value="core"/>', f'<SOURCE value="{value}"/>', text)
    else:
        text, n = re.subn(r"(<SOURCE value=\"core\"/>\n)",
                          f'\\1  <INCLUDE value="{value}"/>\n', text)
    assert n == 1, text
    write_info(kit, text)

    before, outside_before = kit.installed_tree(), tree(out)
    offset = log_offset(srv)
    r = kit.run([srv.url])
    assert_refused_and_untouched(kit, r, before, out, outside_before)
    log = kit.log_text()
    assert f'names the path "{value}", which is absolute or leads out' in log, log
    assert "LIB notifyUpdateCriticalError(635)" in kit.run_events()
    # Refused while the product info was read: nothing was downloaded or backed up.
    assert not [e for e in kit.events() if "/demo/files/" in e[2]], kit.events()
    assert "beforeBackup" not in kit.names()
    requests = requests_since(srv, offset)
    assert f"GET /{PRODUCTINFO}" in requests and "/demo/files/" not in requests, requests

    assert_converges(kit, srv)


@pytest.mark.parametrize("depend, status, reason", [
    ("nope", 250, 'The module "core" depends on "nope", which is not a module of the product'),
    ("core", 249, 'The modules depend on each other in a cycle: "core" -> "core"')])
def test_an_unusable_module_dependency_fails_cleanly_with_its_own_status(
        tmp_path, nginx, depend, status, reason):
    # The run ended the process on the spot: silently, with the new index kept, its
    # temporary directory left and no report.
    kit, srv = installed_v1(tmp_path, nginx)
    text, n = re.subn(r'(<SOURCE value="core"/>\n)', f'\\1  <DEPEND value="{depend}"/>\n',
                      info_text(kit))
    assert n == 1, text
    write_info(kit, text)
    before, report = kit.installed_tree(), kit.base / "report.json"
    # Also when the GUI plug-in then fails to hear the end, without a word.
    r = kit.run([srv.url], extra=[f"--report={report}"], throw="gui.onUpdateFinish=empty")
    assert r.returncode == status, (r.returncode, kit.log_text())
    assert f"The update failed: {reason}" in r.stdout.decode(), r.stdout
    assert ("In the GUI plug-in call onUpdateFinish(): the plug-in stopped the run and gave no "
            "reason") in r.stdout.decode(), r.stdout
    assert kit.installed_tree() == before and not kit.tmp.exists() and kept_index_not_taken(kit)
    assert f'"exit_status": {status}' in report.read_text()
    assert "LIB notifyUpdateCriticalError(635)" in kit.run_events()
    assert_converges(kit, srv)


def test_a_product_info_that_includes_itself_is_read_once_and_patch_names_stay_digests(
        tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx)
    # A patch of the unchanged installed copy whose FILEMD5 climbs out: the patch's name
    # would be <download>.<base>-/../../../../../...patch, outside every tree.
    base = hashlib.md5(V1["README"]).hexdigest()
    text = info_text(kit).replace('<SOURCE value="core"/>\n', '<SOURCE value="core"/>\n'
                                  '<INCLUDE value="demo.info"/>\n').replace(
        f'<FILEMD5 value="{base}"/>', '<FILEMD5 value="/../../../../../.."/><PATCH BASEMD5='
        f'"{base}" SHA256="{"0" * 64}" SIZE="9"/>').replace(f'PEFILEMD5 value="{base}"', "PEFILEMD5")
    write_info(kit, text)
    status, seconds, _ = run_measured(kit, [srv.url], timeout=60)
    log = kit.log_text()
    assert status == 255 and seconds < 30 and "-/../" not in log, log  # no such patch name
    assert log.count('The product info file "demo.info" was read already') == 1
    assert f'is damaged: its MD5 is {base} where the product info says /../' in log


# ---- XML entity bomb ---------------------------------------------------------------------

ENTITY_BOMB = ('<!DOCTYPE UPDATE [\n <!ENTITY a0 "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">\n' +
               "".join(f' <!ENTITY a{i} "{("&a%d;" % (i - 1)) * 10}">\n' for i in range(1, 10)) +
               "]>\n")


def test_entity_bomb_is_refused_at_once_with_bounded_memory(tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx)
    text = info_text(kit)
    # 40 bytes times 10^9 once expanded, in the product name.
    text = text.replace("<UPDATE>\n", ENTITY_BOMB + "<UPDATE>\n", 1)
    text, n = re.subn(r'(<UPDATE>\n<VERSION value="[^"]*"/>\n<NAME value=")[^"]*"',
                      r'\1&a9;"', text)
    assert n == 1, text
    write_info(kit, text)

    before = kit.installed_tree()
    status, seconds, peak_kib = run_measured(kit, [srv.url])
    assert status == 255, (status, kit.log_text())
    # Generous bounds: an instrumented build is slower and bigger; the expansion would take
    # gigabytes and minutes.
    assert seconds < 20, seconds
    assert peak_kib < 512 * 1024, peak_kib
    assert "entity declarations are not accepted" in kit.log_text(), kit.log_text()
    assert kit.installed_tree() == before
    assert not kit.tmp.exists(), tree(kit.tmp)

    assert_converges(kit, srv)


# ---- transport: redirect to plain http, untrusted certificate ----------------------------

def test_redirect_from_https_to_plain_http_is_refused(tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx, tls=True)
    ca = {"SSL_CERT_FILE": servers.CA_FILE}
    before = kit.installed_tree()
    offset = log_offset(srv)
    # /plain/ on the TLS port answers with a redirect to the same path over plain http.
    r = kit.run([f"{srv.tls_url}/plain"], env=ca)
    assert r.returncode == 255, kit.log_text()
    # The error says which redirect was refused, on the terminal too.
    refused = (f'Cannot download "{srv.tls_url}/plain/{MASTERIDX}": the server redirected to '
               f'"{srv.url}/{MASTERIDX}", which is not an https:// address; the redirect is '
               "refused")
    assert refused in r.stdout.decode("utf-8", "replace"), r.stdout
    assert refused in kit.log_text()
    assert kit.installed_tree() == before
    assert kept_index_not_taken(kit)
    assert not kit.tmp.exists(), tree(kit.tmp)
    # The redirect was asked for over TLS, and nothing was then fetched over plain http.
    requests = requests_since(srv, offset)
    assert f"GET /plain/{MASTERIDX}" in requests and " 302 " in requests, requests
    assert f"GET /{MASTERIDX}" not in requests, requests

    # A redirect that stays on https:// is followed.
    r = kit.run([f"{srv.tls_url}/moved"], env=ca)
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["bin/tool"]
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_untrusted_certificate_leaves_an_installation_untouched(tmp_path, nginx):
    # A first installation refused over an untrusted certificate is tested with the
    # transports; here an installed product keeps its files and its kept index.
    kit, srv = installed_v1(tmp_path, nginx, tls=True)
    before = kit.installed_tree()
    offset = log_offset(srv)
    # Without SSL_CERT_FILE the system's authorities decide, and they do not know the test CA.
    r = kit.run([srv.tls_url], env={"SSL_CERT_FILE": ""})
    assert r.returncode == 255, kit.log_text()
    assert "certificate" in kit.log_text().lower(), kit.log_text()
    assert kit.installed_tree() == before
    assert kept_index_not_taken(kit)
    assert not kit.tmp.exists(), tree(kit.tmp)
    # The handshake failed: no request reached the server.
    assert "GET /" not in requests_since(srv, offset)

    r = kit.run([srv.tls_url], env={"SSL_CERT_FILE": servers.CA_FILE})
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["bin/tool"]


# ---- local input without line ends -------------------------------------------------------

def endless_line_file(path):
    """64 MiB of zero bytes without a line end (sparse: nothing is written)."""
    with open(path, "wb") as f:
        f.truncate(SIZE_64M)
    return path


def test_configuration_and_url_files_without_line_ends_are_refused(tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx)
    before = kit.installed_tree()
    for option in ("config-file", "url-file"):
        path = endless_line_file(kit.base / f"{option}.txt")
        start = time.monotonic()
        r = kit.run([], extra=[f"--{option}={path}"], plugins=False)
        assert time.monotonic() - start < 20
        out = (r.stdout + r.stderr).decode("utf-8", "replace")
        assert r.returncode == 255, out
        assert f'Line 1 of the file "{path}" is longer than 1048576 bytes' in out, out
        assert kit.installed_tree() == before
        assert not kit.tmp.exists()

    # /dev/zero itself: the same, without reading on for ever.
    r = kit.run([], extra=["--config-file=/dev/zero"], plugins=False)
    assert r.returncode == 255
    assert b'Line 1 of the file "/dev/zero" is longer' in r.stdout + r.stderr


def test_settings_file_without_line_ends_is_left_with_a_diagnostic(tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx)
    # The settings file is read from the working directory under its fixed name.
    endless_line_file(kit.base / "c:\\updatenew.conf")
    r = kit.run([srv.url])
    out = (r.stdout + r.stderr).decode("utf-8", "replace")
    assert ("Line 1 of the settings file c:\\updatenew.conf is longer than 1048576 bytes: "
            "the rest of the file is not read") in out, out
    # The settings file is no reason to fail: the update goes on.
    assert r.returncode == 0, kit.log_text()
    assert kit.installed("core", "bin/tool") == V2["bin/tool"]
    assert not kit.tmp.exists() and not kit.backup.exists()


def test_gigantic_command_line_arguments(tmp_path, nginx):
    kit, srv = installed_v1(tmp_path, nginx)
    before = kit.installed_tree()
    # The kernel caps one argument at 128 KiB and all of them at a few MiB; the parser
    # must take both without trouble.
    huge = "--" + "x" * (128 * 1024 - 8)
    many = [f"--add-var-pair=V{i}=value" for i in range(20000)]
    for extra in ([huge], many + [huge]):
        start = time.monotonic()
        r = kit.run([srv.url], extra=extra, plugins=False)
        assert time.monotonic() - start < 30
        assert r.returncode == 255, kit.log_text()
        assert b"x" * 64 in r.stdout + r.stderr
        assert kit.installed_tree() == before
        assert not kit.tmp.exists()
