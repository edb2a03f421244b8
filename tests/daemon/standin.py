"""Local HTTP stand-in for agent-daemon's tests.

Plays both the web server's health check (GET /health) and the probe
aggregator's registration endpoint (POST /commander/registrar/register) on one
free loopback port, answering each path from a script of actions:

  "200", "500", ...   answer with that status and a short body
  "slow:S[:N]"        wait S seconds (or until stopped), then answer N (200)
  "garbage"           write bytes that are not HTTP and close
  "redirect"          302 to /loop, which redirects to itself for ever

With tls=True it speaks https with a self-signed certificate made for the run.

The last action of a script repeats. Every request is recorded with its
arrival time (monotonic clock), method, path, headers in order and body.
"""

import http.server
import os
import shutil
import ssl
import subprocess
import tempfile
import threading
import time

HEALTH_PATH = "/health"
REGISTER_PATH = "/commander/registrar/register"
LOOP_PATH = "/loop"


class Request:
    def __init__(self, when, method, path, headers, body):
        self.when = when
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body


class StandIn:
    def __init__(self, health=("200",), register=("200",), tls=False):
        self.scripts = {HEALTH_PATH: list(health), REGISTER_PATH: list(register), LOOP_PATH: ["redirect"]}
        self.requests = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        standin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def handle_any(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length > 0 else b""
                path = self.path
                with standin.lock:
                    standin.requests.append(Request(time.monotonic(), self.command, path,
                                                    list(self.headers.items()), body))
                    script = standin.scripts.get(path)
                    if script is None:
                        action = "404"
                    elif len(script) > 1:
                        action = script.pop(0)
                    else:
                        action = script[0]
                try:
                    standin.act(self, action, path)
                except OSError:
                    # The client gave up (time-out) or the stand-in is stopping.
                    self.close_connection = True

            do_GET = handle_any
            do_POST = handle_any

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.scheme = "http"
        self.tls_folder = None
        if tls:
            self._serve_tls()
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def act(self, handler, action, path):
        if action.startswith("slow:"):
            parts = action.split(":")
            self.stopping.wait(float(parts[1]))
            action = parts[2] if len(parts) > 2 else "200"
        if action == "garbage":
            handler.wfile.write(b"\x00\x01this is not HTTP\r\n\r\n")
            handler.close_connection = True
            return
        if action == "redirect":
            handler.send_response(302)
            handler.send_header("Location", self.url(LOOP_PATH))
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        status = int(action)
        body = b"answer %d\n" % status
        handler.send_response(status)
        handler.send_header("Content-Type", "text/plain")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def _serve_tls(self):
        """Speak https with a throw-away self-signed certificate."""
        self.tls_folder = tempfile.mkdtemp(prefix="qx-standin-tls-%d-" % os.getpid())
        key = os.path.join(self.tls_folder, "key.pem")
        cert = os.path.join(self.tls_folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=qx-standin"],
                       check=True, capture_output=True, timeout=20)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.scheme = "https"

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def of(self, path):
        with self.lock:
            return [r for r in self.requests if r.path == path]

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        if self.tls_folder:
            shutil.rmtree(self.tls_folder, ignore_errors=True)
        return False


def closed_port():
    """A loopback port that nothing listens on (bound, then released)."""
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port
