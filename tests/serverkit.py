"""Starting `bin/marl docs serve` and other servers on free loopback ports."""

import contextlib
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import httpx

MARL = Path(__file__).resolve().parents[1] / "bin" / "marl"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def marl_docs_serve(project, *options, ready="/openapi.json", timeout=30):
    """`marl docs serve` for `project` on a free port of 127.0.0.1, with extra
    command-line `options`; yields a client of it once `ready` answers."""
    port = free_port()
    # The server's log goes to a file: a pipe nobody reads while the server
    # runs would fill up after some hundred requests and stop the server.
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen(
        [str(MARL), "docs", "serve", "--project", str(project), "--port", str(port), *options],
        stdout=log, stderr=subprocess.STDOUT, text=True,
    )
    try:
        deadline = time.monotonic() + timeout
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=5) as http:
            while True:
                try:
                    http.get(ready)
                    break
                except httpx.TransportError:
                    assert proc.poll() is None, log.seek(0) or log.read()
                    assert time.monotonic() < deadline, "server did not start"
                    time.sleep(0.1)
            yield http
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        log.close()


@contextlib.contextmanager
def prefix_proxy(backend: str, prefix: str):
    """A reverse proxy on a free loopback port that serves `backend` (a base
    URL) under the path `prefix`: the prefix is stripped and the `Host`
    header rewritten to the backend's, as common proxies do by default.
    Yields the proxy's base URL (with the prefix)."""
    import http.server
    import threading

    backend_url = httpx.URL(backend)
    client = httpx.Client(base_url=backend, timeout=30)

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def _forward(self):
            if not (self.path == prefix or self.path.startswith(prefix + "/")):
                self.send_error(404, "not under the proxy's prefix")
                return
            path = self.path[len(prefix):] or "/"
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
            headers["host"] = backend_url.netloc.decode()
            request = client.build_request(self.command, httpx.URL(path), headers=headers)
            # The path goes on exactly as received (encoded characters kept).
            request.url = request.url.copy_with(raw_path=path.encode("ascii"))
            response = client.send(request)
            self.send_response(response.status_code)
            for key, value in response.headers.multi_items():
                if key.lower() not in ("connection", "transfer-encoding", "content-encoding", "content-length"):
                    self.send_header(key, value)
            self.send_header("content-length", str(len(response.content)) if self.command != "HEAD"
                             else response.headers.get("content-length", "0"))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(response.content)

        do_GET = do_HEAD = _forward

    server = http.server.ThreadingHTTPServer(("127.0.0.1", free_port()), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}{prefix}"
    finally:
        server.shutdown()
        server.server_close()
        client.close()
