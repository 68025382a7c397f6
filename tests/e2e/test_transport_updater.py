"""Whole runs of build/updater over the transports a site may have: an HTTP proxy with and
without authentication (plain and scrambled passwords), a SOCKS5 proxy, HTTPS with a
private CA over HTTP/2 (and refusal of a server the updater cannot trust), an enciphered product info
file, a mirror that another installation then updates from, a shared folder of large files,
and default-server mode
through a product file (also with the product file's server list ignored). Every server is
real and listens on 127.0.0.1 only."""

import os
import re
import shutil
import subprocess

import servers

from run_available import requires_update_run

pytestmark = requires_update_run

BUILD = os.environ["UPDATER_BUILD_DIR"]
SOURCE = os.environ["UPDATER_SOURCE_DIR"]
UPDATER = os.path.join(BUILD, "updater")
PUBLISH = os.path.join(BUILD, "update-publish")
DEMO = os.path.join(SOURCE, "scripts", "demo-product")
PRODUCT_FILES = ["demo-hook", "bin/demo-app", "lib/demo-core.dat", "lib/demo-table.dat",
                 "etc/demo.conf", "share/doc/README"]


def publish(tmp_path, *options, product_file_servers=None):
    """Publishes the demo product (without PRE commands) into tmp_path/server."""
    if not (tmp_path / "product").exists():
        shutil.copytree(os.path.join(DEMO, "product"), tmp_path / "product")
    text = "".join(l for l in open(os.path.join(DEMO, "demo.desc")) if not l.startswith("PRE "))
    if product_file_servers:
        text = text.replace("[module]", "[productfile]\nPATH = demo/product.txt\nSERVERS = " +
                            product_file_servers + "\n\n[module]", 1)
    (tmp_path / "demo.desc").write_text(text)
    subprocess.run([PUBLISH, "--quiet", *options, str(tmp_path / "demo.desc"), str(tmp_path),
                    str(tmp_path / "server")], check=True, timeout=60)
    return tmp_path / "server"


def run(tmp_path, *options, install="installation", env=None, locate=True):
    inst = tmp_path / install
    inst.mkdir(exist_ok=True)
    where = ["--productroot=demo/files", "--productinfofile=demo/demo.info.gz"] if locate else []
    argv = [UPDATER, "--masteridx=demo/master.idx", *where, f"--install-path={inst}",
            f"--add-var-pair=DEMO_CONF_DIR={inst}/etc", f"--logfile={tmp_path}/update.log",
            "--log-append=1", "--timeout=5", *options]
    p = subprocess.run(argv, capture_output=True, text=True, cwd=tmp_path, timeout=120,
                       env=dict(os.environ, **(env or {})))
    return p.returncode, p.stdout + p.stderr


def installed(tmp_path, install="installation"):
    inst = tmp_path / install
    for name in PRODUCT_FILES:
        source = tmp_path / "product" / name.replace("share/doc/", "share/")
        target = inst / name
        if not target.is_file() or target.read_bytes() != source.read_bytes():
            return False
    return True


def log(tmp_path):
    return (tmp_path / "update.log").read_text(errors="replace")


def test_http_proxy_without_and_with_authentication(tmp_path, nginx, tinyproxy):
    srv = nginx(publish(tmp_path))
    proxy = tinyproxy()
    # A no_proxy of the environment does not send the requests past the configured proxy.
    status, out = run(tmp_path, f"--url={srv.url}/", "--proxy-server=127.0.0.1",
                      f"--proxy-port={proxy.port}", env={"no_proxy": "*", "NO_PROXY": "*"})
    assert status == 0, out
    assert installed(tmp_path)
    assert "demo/files/app/bin/demo-app.gz" in open(proxy.log_file).read()

    guarded = tinyproxy("user", "secret")
    common = [f"--url={srv.url}/", "--proxy-server=127.0.0.1", f"--proxy-port={guarded.port}"]
    # Without credentials the proxy refuses and nothing is installed.
    status, out = run(tmp_path, *common, install="refused")
    assert status == 255
    assert not (tmp_path / "refused/bin/demo-app").exists()
    # A plain password with plain-pass.
    status, out = run(tmp_path, *common, "--proxy-username=user", "--proxy-userpass=secret",
                      "--plain-pass=1", install="plain")
    assert status == 0, out
    assert installed(tmp_path, "plain")
    # The stored (scrambled) form, as update-publish prints it.
    scrambled = subprocess.run([PUBLISH, "--scramble-password=secret"], check=True,
                               capture_output=True, text=True, timeout=30).stdout.strip()
    status, out = run(tmp_path, *common, "--proxy-username=user",
                      f"--proxy-userpass={scrambled}", install="scrambled")
    assert status == 0, out
    assert installed(tmp_path, "scrambled")
    # The scrambled form taken as plain text is the wrong password.
    status, out = run(tmp_path, *common, "--proxy-username=user",
                      f"--proxy-userpass={scrambled}", "--plain-pass=1", install="wrong")
    assert status == 255
    assert not (tmp_path / "wrong/bin/demo-app").exists()


def test_socks5_proxy(tmp_path, nginx, microsocks):
    srv = nginx(publish(tmp_path))
    socks = microsocks()
    status, out = run(tmp_path, f"--url={srv.url}/", "--proxy-server=socks5h://127.0.0.1",
                      f"--proxy-port={socks.port}")
    assert status == 0, out
    assert installed(tmp_path)
    # With the proxy gone the same run fails instead of going round it.
    socks.stop()
    status, out = run(tmp_path, f"--url={srv.url}/", "--proxy-server=socks5h://127.0.0.1",
                      f"--proxy-port={socks.port}", install="no-proxy")
    assert status == 255
    assert not (tmp_path / "no-proxy/bin/demo-app").exists()


def test_https_with_a_private_ca_and_refusal_of_an_untrusted_server(tmp_path, nginx):
    srv = nginx(publish(tmp_path), tls=True)
    # The system's authorities do not know the test CA: the server is refused.
    status, out = run(tmp_path, f"--url={srv.tls_url}/", install="untrusted")
    assert status == 255
    assert not (tmp_path / "untrusted/bin/demo-app").exists()
    assert "certificate" in log(tmp_path).lower()
    status, out = run(tmp_path, f"--url={srv.tls_url}/", env={"SSL_CERT_FILE": servers.CA_FILE})
    assert status == 0, out
    assert installed(tmp_path)
    # The overlapping transfers of the module files ran as HTTP/2 streams of one connection.
    files = [ln for ln in open(srv.access_log) if "/demo/files/" in ln]
    assert len(files) == len(PRODUCT_FILES)
    assert {re.search(r"connection=(\d+) protocol=(\S+)", ln).groups() for ln in files} == \
        {(files[0].split("connection=")[1].split()[0], "HTTP/2.0")}


def test_enciphered_product_info(tmp_path, nginx):
    server = publish(tmp_path, "--encrypt")
    srv = nginx(server)
    status, out = run(tmp_path, f"--url={srv.url}/")
    assert status == 0, out
    assert installed(tmp_path)


def test_mirror_then_update_from_the_mirror(tmp_path, nginx):
    srv = nginx(publish(tmp_path))
    status, out = run(tmp_path, f"--url={srv.url}/", "--mirror=1", install="mirror")
    assert status == 0, out
    mirror = tmp_path / "mirror"
    assert (mirror / "demo/master.idx").is_file()
    assert (mirror / "demo/files/app/bin/demo-app.gz").is_file()
    assert not (mirror / "bin/demo-app").exists()  # a mirror installs nothing
    assert not (mirror / "hooks.log").exists()     # and runs no module commands
    mirror_srv = nginx(mirror)
    status, out = run(tmp_path, f"--url={mirror_srv.url}/")
    assert status == 0, out
    assert installed(tmp_path)
    assert "demo-app.gz" in open(mirror_srv.access_log).read()


def test_a_shared_folder_with_files_larger_than_the_write_buffers(tmp_path):
    # libcurl reads a file:// source in one go and cannot pause it: the buffers between the
    # transfer and the disk (a few MiB) and the rate cap wait instead of refusing.
    for rate in ([], ["--max-rate=16M"]):
        publish(tmp_path)
        for name in ("lib/demo-core.dat", "lib/demo-table.dat"):
            (tmp_path / "product" / name).write_bytes(os.urandom(3 << 20))
        server = publish(tmp_path)
        status, out = run(tmp_path, f"--url=file://{server}/", "--IgnoreMasterIDX=1", *rate)
        assert status == 0, out + log(tmp_path)
        assert installed(tmp_path)


def test_default_server_mode_through_a_product_file(tmp_path, nginx):
    # The default server only holds the product file; it names the download server.
    downloads = nginx(tmp_path / "server")
    publish(tmp_path, product_file_servers=f"{downloads.url}/")
    default = tmp_path / "default"
    (default / "demo").mkdir(parents=True)
    shutil.copy(tmp_path / "server/demo/product.txt", default / "demo/product.txt")
    shutil.copy(tmp_path / "server/demo/master.idx", default / "demo/master.idx")
    default_srv = nginx(default)
    status, out = run(tmp_path, f"--defaultsrv={default_srv.url}/",
                      "--productfile=demo/product.txt", locate=False)
    assert status == 0, out
    assert installed(tmp_path)
    assert "demo-app.gz" in open(downloads.access_log).read()
    assert "product.txt" in open(default_srv.access_log).read()


def test_default_server_mode_ignoring_the_product_file_server_list(tmp_path, nginx):
    # With productfileignoreserverlist the default server is the download server too,
    # whatever servers the product file names; the named one never hears from the updater.
    (tmp_path / "named").mkdir()
    named = nginx(tmp_path / "named")
    default_srv = nginx(publish(tmp_path, product_file_servers=f"{named.url}/"))
    status, out = run(tmp_path, f"--defaultsrv={default_srv.url}/",
                      "--productfile=demo/product.txt", "--productfileignoreserverlist=1",
                      locate=False)
    assert status == 0, out
    assert installed(tmp_path)
    served = open(default_srv.access_log).read()
    assert "product.txt" in served and "demo-app.gz" in served
    named_log = named.access_log
    assert not os.path.exists(named_log) or open(named_log).read() == ""



def test_a_proxy_without_port_is_named_by_its_host(tmp_path, nginx):
    status, out = run(tmp_path, f"--url={nginx(publish(tmp_path)).url}/",
                      "--proxy-server=127.0.0.1", "--proxy-port=0")  # nothing listens there
    assert status == 255 and "through the proxy 127.0.0.1" in out and ":0" not in out, out
