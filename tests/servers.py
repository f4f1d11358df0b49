"""Real servers for the remote-store tests, started on 127.0.0.1 with a free port and stopped
by the test: nginx serving a directory (ranges, ETag, an access log the tests count requests
and bytes in), and the S3-protocol server in server mode; and two small faulty ones, a server
that fails with 503 and a socket that never answers."""

from __future__ import annotations

import http.server
import os
import re
import threading
import shutil
import signal
import socket
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_listening(port: int, proc: subprocess.Popen, what: str, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise RuntimeError(f"{what} exited with status {proc.returncode} before listening")
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError(f"{what} did not listen on port {port} within {timeout} s")
            time.sleep(0.05)


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stderr is not None:
        proc.stderr.close()


@dataclass(frozen=True)
class Request:
    """One line of nginx's access log."""

    method: str
    path: str
    status: int
    bytes_sent: int  # body bytes
    range: str  # the Range header as sent, "-" when none
    if_match: str  # the If-Match header as sent, "-" when none
    if_unmodified_since: str = "-"  # likewise


class Nginx:
    """nginx serving `root` at `url` until stop(); `requests()` reads its access log."""

    def __init__(self, root: Path, workdir: Path, etag: bool = True) -> None:
        self.root = Path(root)
        workdir.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self._log = workdir / "access.log"
        conf = workdir / "nginx.conf"
        # Tab-separated: nginx escapes control characters inside the values it logs.
        user = "user root;" if os.geteuid() == 0 else ""
        conf.write_text(f"""
{user}
worker_processes 1;
daemon off;
pid {workdir}/nginx.pid;
error_log {workdir}/error.log warn;
events {{ worker_connections 256; }}
http {{
    log_format counted '$request_method\t$uri\t$status\t$body_bytes_sent\t$http_range\t$http_if_match\t$http_if_unmodified_since';
    access_log {self._log} counted;
    client_body_temp_path {workdir}/body;
    proxy_temp_path {workdir}/proxy;
    fastcgi_temp_path {workdir}/fastcgi;
    uwsgi_temp_path {workdir}/uwsgi;
    scgi_temp_path {workdir}/scgi;
    sendfile on;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{self.port};
        root {self.root};
        etag {"on" if etag else "off"};
    }}
}}
""")
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self._proc = subprocess.Popen([nginx, "-e", str(workdir / "error.log"), "-c", str(conf)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _wait_listening(self.port, self._proc, "nginx")

    def requests(self) -> list[Request]:
        """Every request served so far. nginx writes each line once the response is out, so a
        client may have its answer a moment before the line exists: the log is read once it
        has stopped growing for a moment."""
        if not self._log.exists():
            return []
        size, deadline = -1, time.monotonic() + 5
        while (now := self._log.stat().st_size) != size and time.monotonic() < deadline:
            size = now
            time.sleep(0.05)
        out = []
        for line in self._log.read_text().splitlines():
            method, path, status, sent, rng, if_match, if_unmodified_since = line.split("\t")
            out.append(Request(method, path, int(status), int(sent), rng, if_match, if_unmodified_since))
        return out

    def signal(self, sig: int) -> None:
        """Sends *sig* to nginx's master and its workers (SIGSTOP: a server that stops answering)."""
        pids = [self._proc.pid]
        for task in Path(f"/proc/{self._proc.pid}/task").iterdir():
            pids += [int(p) for p in (task / "children").read_text().split()]
        for pid in pids:
            os.kill(pid, sig)

    def clear_log(self) -> None:
        self._log.write_text("")  # nginx appends with O_APPEND: truncating is safe

    def stop(self) -> None:
        _stop(self._proc)


class S3Server:
    """The S3-protocol server in server mode, at `endpoint` until stop()."""

    def __init__(self, workdir: Path | None = None) -> None:
        import tempfile

        self.port = free_port()
        self.endpoint = f"http://127.0.0.1:{self.port}"
        exe = shutil.which("moto_server") or "/usr/bin/moto_server"
        self._logdir = tempfile.TemporaryDirectory(prefix="s3-server-") if workdir is None else None
        self._log = Path(workdir or self._logdir.name) / "requests.log"  # type: ignore[union-attr]
        with open(self._log, "wb") as log:
            # Its request log goes to standard error, one line per answered request.
            self._proc = subprocess.Popen([exe, "-H", "127.0.0.1", "-p", str(self.port)],
                                          stdout=subprocess.DEVNULL, stderr=log)
        _wait_listening(self.port, self._proc, "the S3 server")

    def requests(self) -> list[tuple[str, str, int]]:
        """(method, path, status) of every request answered so far. The server logs a request
        just after answering it: the log is read once it has stopped growing for a moment."""
        size, deadline = -1, time.monotonic() + 5
        while (now := self._log.stat().st_size) != size and time.monotonic() < deadline:
            size = now
            time.sleep(0.15)
        out = []
        for line in self._log.read_text(errors="replace").splitlines():
            line = re.sub(r"\x1b\[[0-9;]*m", "", line)  # some statuses are shown in colour
            m = re.search(r'"([A-Z]+) (\S+) HTTP/[\d.]+" (\d{3})', line)
            if m:
                out.append((m.group(1), m.group(2), int(m.group(3))))
        return out

    def env(self) -> dict[str, str]:
        """The standard AWS variables that point a client at this server."""
        return {
            "AWS_ENDPOINT_URL": self.endpoint,
            "AWS_ACCESS_KEY_ID": "testing",
            "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_DEFAULT_REGION": "us-east-1",
        }

    def stop(self) -> None:
        _stop(self._proc)
        if self._logdir is not None:
            self._logdir.cleanup()


class FlakyServer:
    """A tiny HTTP server with ranges and an ETag over one blob, answering 503 to the first
    `failures` requests (every request when it is negative), counting all of them."""

    def __init__(self, blob, failures):
        self.blob = blob
        self.failures = failures
        self.requests = 0
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def do_GET(self):
                outer.requests += 1
                if outer.failures < 0 or outer.requests <= outer.failures:
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                data = outer.blob
                m = re.match(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
                if m:
                    if m.group(1) == "":
                        begin, end = max(0, len(data) - int(m.group(2))), len(data)
                    else:
                        begin = int(m.group(1))
                        end = min(len(data), int(m.group(2)) + 1) if m.group(2) else len(data)
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {begin}-{end - 1}/{len(data)}")
                    data = data[begin:end]
                else:
                    self.send_response(200)
                self.send_header("ETag", '"v1"')
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self._server.server_address[1]}/store.trnk"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()


class SilentServer:
    """A socket that accepts connections and never answers."""

    def __init__(self):
        self._sock = socket.socket()
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(16)
        self.url = f"http://127.0.0.1:{self._sock.getsockname()[1]}/store.trnk"

    def stop(self):
        self._sock.close()


class FaultProxy:
    """A proxy in front of the S3-protocol server that answers chosen requests itself with an
    error, the rest passed through. ``fail(match, status, times)``: the next *times* requests
    for which ``match(method, path)`` holds (path with its query) get *status* and an S3 error
    body (times < 0: all of them). ``seen`` lists (method, path, status) of every request."""

    def __init__(self, upstream: str) -> None:
        import http.client
        from urllib.parse import urlsplit

        up = urlsplit(upstream)
        self.rules: list[list] = []
        self.seen: list[tuple[str, str, int]] = []
        lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def _body(self) -> bytes:
                if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                    out = b""
                    while True:
                        size = int(self.rfile.readline().split(b";")[0], 16)
                        chunk = self.rfile.read(size + 2)[:size]
                        if size == 0:
                            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                                pass
                            return out
                        out += chunk
                return self.rfile.read(int(self.headers.get("Content-Length") or 0))

            def _any(self) -> None:
                body = self._body()
                with lock:
                    rule = next((r for r in outer.rules if r[2] != 0 and r[0](self.command, self.path)), None)
                    if rule is not None and rule[2] > 0:
                        rule[2] -= 1
                if rule is not None:
                    payload = (b'<?xml version="1.0" encoding="UTF-8"?><Error><Code>InternalError</Code>'
                               b"<Message>injected failure</Message></Error>")
                    # Noted before the answer goes out: the client may act on it (and a test
                    # count the requests) before this thread runs again.
                    outer.seen.append((self.command, self.path, rule[1]))
                    self.send_response(rule[1])
                    self.send_header("Content-Type", "application/xml")
                    self.send_header("Content-Length", str(len(payload)))
                    self.end_headers()
                    if self.command != "HEAD":
                        self.wfile.write(payload)
                    return
                headers = {k: v for k, v in self.headers.items() if k.lower() != "transfer-encoding"}
                headers["Content-Length"] = str(len(body))
                conn = http.client.HTTPConnection(up.hostname, up.port, timeout=30)
                try:
                    conn.request(self.command, self.path, body=body, headers=headers)
                    resp = conn.getresponse()
                    data = resp.read()
                finally:
                    conn.close()
                outer.seen.append((self.command, self.path, resp.status))
                self.send_response(resp.status, resp.reason)
                for k, v in resp.getheaders():
                    if k.lower() not in ("transfer-encoding", "connection", "content-length", "date", "server"):
                        self.send_header(k, v)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(data)

            do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _any

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.endpoint = f"http://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def fail(self, match, status: int = 500, times: int = -1) -> None:
        self.rules.append([match, status, times])

    def clear(self) -> None:
        self.rules.clear()
        self.seen.clear()

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
