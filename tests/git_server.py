"""git's own smart-HTTP server for the tests: `git http-backend` behind nginx (via
fcgiwrap) on a free loopback port, with TLS from trustme and basic auth (`tls=False`
serves plain HTTP, which the working copy's benchmark compares with).

The Makefile installs nginx and fcgiwrap from Debian's packages where they are missing;
without them (another system, Windows) `GitServer.missing()` names what is absent and
the tests that need the server are skipped.

Repositories live in `root / "repos"`; `create()` makes a bare one and returns its
HTTPS URL (without credentials) and its path, so that the git CLI can judge the
server's side directly.
"""

import base64
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

# Looked up beside PATH: a run with the system PATH only (or a user's PATH without the
# sbin directories) still finds the daemons Debian installs there.
_SBIN = ["/usr/sbin", "/usr/local/sbin", "/sbin"]


def _which(name):
    found = shutil.which(name)
    if found:
        return found
    for folder in _SBIN:
        candidate = os.path.join(folder, name)
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def plain_env(env=None):
    """The environment for the programs the tests start (git, nginx, fcgiwrap): without
    the sanitizer runtime that `make sanitize` preloads into the interpreter, which
    they neither need nor always survive (git's HTTPS helper deadlocks under it)."""
    env = dict(os.environ if env is None else env)
    env.pop("LD_PRELOAD", None)
    return env


def git(*args, cwd=None, env=None, check=True, input=None):
    """Runs the git CLI, returns its standard output as text."""
    result = subprocess.run(["git", *args], cwd=cwd, env=plain_env(env), input=input, stdin=None if input else
                            subprocess.DEVNULL, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"git {' '.join(args)} failed ({result.returncode}):\n{result.stderr}")
    return result.stdout


def _http_backend():
    exec_path = git("--exec-path").strip()
    backend = os.path.join(exec_path, "git-http-backend")
    return backend if os.access(backend, os.X_OK) else None


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _ssha(password):
    """nginx's {SSHA} form of a password: salted SHA-1, base64."""
    salt = os.urandom(8)
    digest = hashlib.sha1(password.encode("utf-8") + salt).digest()
    return "{SSHA}" + base64.b64encode(digest + salt).decode()


NGINX_CONF = """\
{user}
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {root}/tmp/body;
    fastcgi_temp_path {root}/tmp/fastcgi;
    proxy_temp_path {root}/tmp/proxy;
    uwsgi_temp_path {root}/tmp/uwsgi;
    scgi_temp_path {root}/tmp/scgi;
    client_max_body_size 0;
    server {{
        listen 127.0.0.1:{port}{ssl};
        server_name localhost;
        ssl_certificate {root}/server.pem;
        ssl_certificate_key {root}/server.key;
        auth_basic "git";
        auth_basic_user_file {root}/htpasswd;
        location / {{
            fastcgi_pass unix:{root}/fcgiwrap.sock;
            fastcgi_request_buffering off;
            fastcgi_read_timeout 120s;
            fastcgi_param SCRIPT_FILENAME {backend};
            fastcgi_param GIT_PROJECT_ROOT {root}/repos;
            fastcgi_param GIT_HTTP_EXPORT_ALL "";
            fastcgi_param GIT_CONFIG_NOSYSTEM 1;
            fastcgi_param HOME {root};
            fastcgi_param PATH_INFO $uri;
            fastcgi_param REMOTE_USER $remote_user;
            fastcgi_param REMOTE_ADDR $remote_addr;
            fastcgi_param QUERY_STRING $query_string;
            fastcgi_param REQUEST_METHOD $request_method;
            fastcgi_param CONTENT_TYPE $content_type;
            fastcgi_param CONTENT_LENGTH $content_length;
            fastcgi_param HTTP_CONTENT_ENCODING $http_content_encoding;
            fastcgi_param GIT_PROTOCOL $http_git_protocol;
            fastcgi_param SERVER_PROTOCOL $server_protocol;
            fastcgi_param GATEWAY_INTERFACE CGI/1.1;
        }}
    }}
}}
"""


class GitServer:
    """One nginx + fcgiwrap pair serving the bare repositories under root/repos."""

    def __init__(self, root, authority, user, password, tls=True):
        self.root = Path(root)
        self.tls = tls
        self.authority = authority
        self.user = user
        self.password = password
        self.port = None
        self.cafile = str(self.root / "ca.pem")
        self._processes = []

    @staticmethod
    def missing():
        """The programs the server needs that this machine lacks."""
        needed = {"nginx": _which("nginx"), "fcgiwrap": _which("fcgiwrap")}
        if shutil.which("git"):
            needed["git-http-backend"] = _http_backend()
        else:
            needed["git"] = None
        return [name for name, path in needed.items() if not path]

    @property
    def base(self):
        return f"{self.scheme}://127.0.0.1:{self.port}"

    @property
    def scheme(self):
        return "https" if self.tls else "http"

    def url(self, name):
        return f"{self.base}/{name}"

    def auth_url(self, name):
        """The URL with the account in it, percent-encoded, for the git CLI."""
        from urllib.parse import quote

        return (f"{self.scheme}://{quote(self.user, safe='')}:{quote(self.password, safe='')}"
                f"@127.0.0.1:{self.port}/{name}")

    def start(self):
        root = self.root
        for sub in ("repos", "tmp"):
            (root / sub).mkdir(parents=True, exist_ok=True)
        self.authority.cert_pem.write_to_path(self.cafile)
        cert = self.authority.issue_cert("localhost", "127.0.0.1")
        cert.private_key_pem.write_to_path(str(root / "server.key"))
        with open(root / "server.pem", "wb") as f:
            for blob in cert.cert_chain_pems:
                f.write(blob.bytes())
        (root / "htpasswd").write_text(f"{self.user}:{_ssha(self.password)}\n")
        socket_path = root / "fcgiwrap.sock"
        fcgiwrap = subprocess.Popen([_which("fcgiwrap"), "-c", "4", "-s", f"unix:{socket_path}"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=plain_env(),
                                    stderr=open(root / "fcgiwrap.log", "wb"), start_new_session=True)
        self._processes.append(fcgiwrap)
        self._wait(lambda: socket_path.exists(), "fcgiwrap's socket")
        # The workers of an nginx started as root would run as "nobody", which can read
        # neither the test's temporary folder nor connect to the socket: they stay root.
        user = "user root root;" if hasattr(os, "geteuid") and os.geteuid() == 0 else ""
        for attempt in range(5):
            self.port = _free_port()
            conf = root / "nginx.conf"
            conf.write_text(NGINX_CONF.format(user=user, root=root, port=self.port, ssl=" ssl" if self.tls else "",
                                              backend=_http_backend()))
            nginx = subprocess.Popen([_which("nginx"), "-p", str(root), "-e", str(root / "nginx-error.log"),
                                      "-c", str(conf), "-g", "daemon off;"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=plain_env(),
                                     stderr=subprocess.PIPE, start_new_session=True)
            try:
                self._wait(lambda: nginx.poll() is not None or self._listening(), "nginx")
            except Exception:
                nginx.kill()
                nginx.wait()
                raise
            if nginx.poll() is None:
                self._processes.append(nginx)
                return self
            error = nginx.stderr.read().decode(errors="replace")
            if "Address already in use" not in error:
                break
        self.stop()
        raise RuntimeError(f"nginx did not start: {error}")

    def _listening(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.settimeout(0.2)
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    @staticmethod
    def _wait(ready, what, timeout=20.0):
        deadline = time.monotonic() + timeout
        while not ready():
            if time.monotonic() > deadline:
                raise RuntimeError(f"{what} did not come up within {timeout:.0f} s")
            time.sleep(0.02)

    def stop(self):
        """Ends the processes this server started (and their children), newest first."""
        while self._processes:
            process = self._processes.pop()
            if process.poll() is None:
                # nginx ends its workers on SIGTERM (fast shutdown); fcgiwrap's children
                # share its process group.
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
            if process.stderr:
                process.stderr.close()

    # ---- repositories ------------------------------------------------------------------

    def create(self, name, branch="master"):
        """A new, empty bare repository served as `name`; returns (url, path)."""
        path = self.root / "repos" / name
        git("init", "-q", "--bare", f"--initial-branch={branch}", str(path))
        git("config", "http.receivepack", "true", cwd=path)
        return self.url(name), str(path)

    def hook(self, name, hook, script):
        """Installs an executable hook (e.g. "pre-receive") in repository `name`."""
        path = self.root / "repos" / name / "hooks" / hook
        path.write_text("#!/bin/sh\n" + script)
        path.chmod(0o755)
