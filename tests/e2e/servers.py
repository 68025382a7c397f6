"""Real servers for end-to-end tests, on 127.0.0.1 only.

nginx serving a directory, tinyproxy as an HTTP proxy and microsocks as a SOCKS5 proxy. Each
server runs as a child process with its configuration, pid and log files in its own temporary
directory, listens on a free ephemeral port, is waited for with a bounded wait and is stopped
by its PID (SIGTERM, then SIGKILL after a bounded wait). Use them as context managers or
through the fixtures in conftest.py.

nginx serves `root` at "/" and also:
  /private/<path>      the same files behind basic authentication (auth_user/auth_password)
  /unavailable/<path>  always 503
  /moved/<path>        302 to /<path>
  /loop/<path>         302 to itself, for ever
  /slow/<path>         the same files at 8 KiB/s, for tests that act during a transfer
  /norange/<path>      the same files, range requests answered with the whole file
  /plain/<path>        302 to http://127.0.0.1:<port>/<path> (plain http, also when asked
                       over TLS)
With tls=True the same is served on https://127.0.0.1:<tls_port> (HTTP/2 offered, HTTP/1.1
taken) with a certificate for 127.0.0.1 and localhost signed by the test CA in CA_FILE.
The access log has nginx's combined format followed by " connection=<n>", the serial number
of the TCP connection that carried the request, and " protocol=<HTTP/1.1 or HTTP/2.0>".
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
TLS_DIR = os.path.join(os.path.dirname(_HERE), "support", "tls")
CA_FILE = os.path.join(TLS_DIR, "ca.pem")

START_ATTEMPTS = 5     # a port taken between free_port() and the server's bind: retry
READY_TIMEOUT = 10.0   # seconds per attempt
STOP_GRACE = 5.0       # seconds between SIGTERM and SIGKILL


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout):
    """True once a TCP connection to 127.0.0.1:port succeeds within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)


def _program(name):
    for d in ("/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin", "/usr/local/sbin"):
        path = os.path.join(d, name)
        if os.access(path, os.X_OK):
            return path
    raise RuntimeError(f"{name} is not installed (scripts/lib/packages.sh installs it)")


def _tail(path, limit=2000):
    try:
        with open(path, "rb") as f:
            return f.read()[-limit:].decode("utf-8", "replace")
    except OSError:
        return ""


class _Server:
    """Common start/stop logic; subclasses write their configuration in _launch(port)."""

    name = "server"

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix=f"updater-{self.name}.")
        self.process = None
        self.port = None

    def _log(self):
        return os.path.join(self.dir, f"{self.name}.out")

    def _diagnostic_log(self):
        return self._log()

    def _spawn(self, argv):
        with open(self._log(), "ab") as log:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)

    def start(self):
        last = ""
        for _ in range(START_ATTEMPTS):
            port = free_port()
            self._launch(port)
            deadline = time.monotonic() + READY_TIMEOUT
            while time.monotonic() < deadline and self.process.poll() is None:
                if wait_for_port(port, 0.05):
                    self.port = port
                    self._ready()
                    return self
            last = _tail(self._diagnostic_log())
            self._terminate()
        self.close()
        raise RuntimeError(f"{self.name} did not start listening on 127.0.0.1; its log:\n{last}")

    def _ready(self):
        pass

    @property
    def pid(self):
        return self.process.pid if self.process else None

    def _terminate(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=STOP_GRACE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def stop(self):
        """Stops the server by its PID; its files stay until close()."""
        self._terminate()

    def close(self):
        self._terminate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


class Nginx(_Server):
    name = "nginx"

    def __init__(self, root, tls=False, auth_user="user", auth_password="secret"):
        super().__init__()
        self.root = os.path.abspath(root)
        self.tls = tls
        self.tls_port = None
        self.auth_user = auth_user
        self.auth_password = auth_password

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def tls_url(self):
        return f"https://127.0.0.1:{self.tls_port}"

    @property
    def access_log(self):
        return os.path.join(self.dir, "access.log")

    def _diagnostic_log(self):
        return os.path.join(self.dir, "error.log")

    def _launch(self, port):
        d = self.dir
        self.tls_port = free_port() if self.tls else None
        with open(os.path.join(d, "htpasswd"), "w") as f:
            f.write(f"{self.auth_user}:{{PLAIN}}{self.auth_password}\n")
        tls = ""
        if self.tls:
            tls = (f"    listen 127.0.0.1:{self.tls_port} ssl http2;\n"
                   f"    ssl_certificate {TLS_DIR}/server.pem;\n"
                   f"    ssl_certificate_key {TLS_DIR}/server.key;\n")
        conf = f"""daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log info;
events {{ worker_connections 256; }}
http {{
  log_format updater '$remote_addr - $remote_user [$time_local] "$request" '
                     '$status $body_bytes_sent "$http_referer" "$http_user_agent" '
                     'connection=$connection protocol=$server_protocol';
  access_log {d}/access.log updater;
  client_body_temp_path {d}/client_body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  default_type application/octet-stream;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{port};
{tls}    root {self.root};
    location /private/ {{ alias {self.root}/; auth_basic "updater test"; auth_basic_user_file {d}/htpasswd; }}
    location /unavailable/ {{ return 503; }}
    location /moved/ {{ rewrite ^/moved/(.*)$ /$1 redirect; }}
    location /loop/ {{ rewrite ^(.*)$ $1 redirect; }}
    location /plain/ {{ rewrite ^/plain/(.*)$ http://127.0.0.1:{port}/$1 redirect; }}
    location /slow/ {{ alias {self.root}/; limit_rate 8k; limit_rate_after 0; }}
    location /norange/ {{ alias {self.root}/; max_ranges 0; }}
  }}
}}
"""
        conf_path = os.path.join(d, "nginx.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        self._spawn([_program("nginx"), "-e", os.path.join(d, "error.log"), "-p", d + "/",
                     "-c", conf_path])

    def _ready(self):
        if self.tls and not wait_for_port(self.tls_port, READY_TIMEOUT):
            raise RuntimeError("nginx did not listen on its TLS port; its log:\n" +
                               _tail(self._diagnostic_log()))


class TinyProxy(_Server):
    """HTTP proxy; with a user name every request needs proxy basic authentication
    (407 without credentials, 401 with wrong ones)."""

    name = "tinyproxy"

    def __init__(self, user=None, password=None):
        super().__init__()
        self.user = user
        self.password = password

    @property
    def log_file(self):
        return os.path.join(self.dir, "tinyproxy.log")

    def _launch(self, port):
        conf_path = os.path.join(self.dir, "tinyproxy.conf")
        lines = [f"Port {port}", "Listen 127.0.0.1", "Timeout 30", "MaxClients 64",
                 f'LogFile "{self.log_file}"', "LogLevel Info", "Allow 127.0.0.1",
                 "DisableViaHeader Yes"]
        if self.user:
            lines.append(f"BasicAuth {self.user} {self.password or ''}")
        with open(conf_path, "w") as f:
            f.write("\n".join(lines) + "\n")
        self._spawn([_program("tinyproxy"), "-d", "-c", conf_path])


class MicroSocks(_Server):
    """SOCKS5 proxy; with a user name it demands that user and password."""

    name = "microsocks"

    def __init__(self, user=None, password=None):
        super().__init__()
        self.user = user
        self.password = password

    def _launch(self, port):
        argv = [_program("microsocks"), "-i", "127.0.0.1", "-p", str(port)]
        if self.user:
            argv += ["-u", self.user, "-P", self.password or ""]
        self._spawn(argv)
