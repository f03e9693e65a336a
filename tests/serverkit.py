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
