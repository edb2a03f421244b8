"""End-to-end harness for the Quillet extension inside a real PHP web server.

A test builds one `QuilletSite` (a temporary folder holding the installation
folder, the document root and the logs), optionally starts the stand-in
aggregator, writes the registration block, starts `php -S` with the built
extension, makes requests and inspects what the aggregator decoded and what the
extension logged. Everything it starts or creates is stopped and removed by
`close()` (also through `with`), and every wait is bounded.

Usage:

    with QuilletSite(build_dir, source_dir) as site:
        site.write_script("index.php", "<?php echo 'hi';")
        site.start_aggregator()
        site.write_block(registered=1)
        site.start_server(workers=2)
        status, body, headers = site.request("/index.php?x=1")
        blocks = site.wait_blocks(1)
        start = blocks[0].events[0]          # flattened: type, depth, locationId...
        path = blocks[0].text(start["uriToken"])

`Block.events` are the EventDTO records flattened (`flatten_event`), with
`Block.text(token)` resolving symbols known on the block's connection and
`Block.attribute(name)` giving a fragment attribute's value. New test files
named test_*.py in this folder are run by CTest under the lock of the
registration block.

Configuration comes from the environment when the tests run under CTest:
QX_BUILD_DIR (build tree), QX_SOURCE_DIR (repository), QX_PHP (php binary).
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

BLOCK_NAME = "QX_PHPAgent"
BLOCK_PATH = "/dev/shm/" + BLOCK_NAME
BLOCK_SIZE = 392
TEXT_SLOT = 128
# The URL table's named semaphore, as glibc keeps it. Workers create it and, by
# design, leave it for the next server start; a test removes the one its own
# server made.
URL_SEMAPHORE_PATH = "/dev/shm/sem.UrlTableSem"

DEFAULT_TIMEOUT = 15.0
# php-cgi (Debian's php8.2-cgi): one process per request, a quick way to run
# a module start-up and one request.
PHP_CGI = os.environ.get("QX_PHP_CGI") or "/usr/bin/php-cgi"


def free_port():
    """A TCP port that was free a moment ago (bound to port 0, then released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout, proc=None):
    """Waits until something accepts connections on the port; False on time-out
    or when `proc` ends first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def block_bytes(registered=1, probe_name="QuilletProbe", host="host.example",
                component=None, size=BLOCK_SIZE):
    """The registration record: flag, three zero bytes, 32-bit 10, then three
    NUL-terminated UTF-8 texts in 128-byte slots at offsets 8, 136 and 264."""
    if component is None:
        component = probe_name + ".1700000000"
    data = bytearray(BLOCK_SIZE)
    data[0] = registered & 0xFF
    data[4:8] = (10).to_bytes(4, "little")
    for offset, text in ((8, probe_name), (136, host), (264, component)):
        raw = text.encode("utf-8")[: TEXT_SLOT - 1]
        data[offset:offset + len(raw)] = raw
    return bytes(data[:size]) if size <= BLOCK_SIZE else bytes(data) + bytes(size - BLOCK_SIZE)


def flatten_event(event_dto):
    """An EventDTO record as one flat dict: "type" names the event (the set
    field of the EventDTO union, e.g. "httpFragmentStartEvent"), and every
    leaf field of the nested structures is lifted to the top (locationId,
    threadId, depth, timeInMicroseconds, eventInstance, flags, name, value...)."""
    kinds = [k for k in event_dto if k not in ("connection", "record", "block", "run")]
    if len(kinds) != 1:
        return {"type": None, "raw": event_dto}
    kind = kinds[0]
    flat = {"type": kind}

    def walk(value):
        for k, v in value.items():
            if isinstance(v, dict):
                walk(v)
            elif k not in flat:
                flat[k] = v
    walk(event_dto[kind])
    return flat


class Block:
    """One block as the aggregator decoded it, with the symbols known on its
    connection up to and including this block."""

    def __init__(self, connection, number):
        self.connection = connection
        self.number = number
        self.symbols = {}       # token -> text, sent in this block
        self.known = {}         # token -> text, known on the connection so far
        self.locations = []     # LocationDTO dicts
        self.events = []        # flattened events
        self.complete = False

    def text(self, token):
        return self.known.get(token)

    def location(self, location_id):
        for loc in self.locations:
            if loc.get("id") == location_id:
                return loc
        return None

    def types(self):
        return [e["type"] for e in self.events]

    def attribute(self, name):
        for e in self.events:
            if e["type"] == "fragmentAttributeEvent" and e.get("name") == name:
                return e.get("value")
        return None


def blocks_from_records(records):
    """The complete blocks in the records, in arrival order."""
    known = {}
    open_blocks = {}
    done = []
    for r in records:
        if r.get("connection") is None:
            continue
        conn = (r.get("run"), r.get("connection"))
        kind = r.get("record")
        if kind == "frame":
            open_blocks[(conn, r["block"])] = Block(conn, r["block"])
            continue
        block = open_blocks.get((conn, r.get("block")))
        if block is None:
            continue
        if kind == "SymbolDTO":
            block.symbols[r["token"]] = r["value"]
            known.setdefault(conn, {})[r["token"]] = r["value"]
        elif kind == "LocationDTO":
            block.locations.append({k: v for k, v in r.items() if k not in ("connection", "record", "block", "run")})
        elif kind == "EventDTO":
            block.events.append(flatten_event(r))
        elif kind == "blockEnd":
            block.known = dict(known.get(conn, {}))
            block.complete = True
            done.append(block)
            del open_blocks[(conn, r["block"])]
    return done


class Aggregator:
    """The stand-in aggregator (tools/), decoding every record it receives and
    printing one JSON object a line; the lines are collected in `records`."""

    def __init__(self, source_dir, build_dir, python=None):
        self.source_dir = source_dir
        self.gen_py = os.path.join(build_dir, "tools", "gen-py")
        self.python = python or "/usr/bin/python3"
        self.port = None
        self.proc = None
        self.records = []
        self.stderr_lines = []
        self.runs = 0
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)

    def command(self, port=0, extra_args=()):
        script = os.path.join(self.source_dir, "tools", "standin_aggregator.py")
        return [self.python, script, "--gen-py", self.gen_py, "--host", "127.0.0.1",
                "--port", str(port)] + list(extra_args)

    def start(self, extra_args=(), timeout=DEFAULT_TIMEOUT, port=0):
        """Starts the aggregator on `port` (0: a free one; it names the port in
        its first line); returns the port. Records of an earlier run of this
        aggregator are kept."""
        env = dict(os.environ)
        env["PYTHONUNBUFFERED"] = "1"
        def events_listening(rs):
            return [r for r in rs if r.get("record") == "listening" and r.get("service", "events") == "events"]
        seen = len(events_listening(self.snapshot()))
        self.runs += 1
        self.proc = subprocess.Popen(self.command(port, extra_args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env,
                                     start_new_session=True)
        threading.Thread(target=self._read_stdout, args=(self.proc, self.runs), daemon=True).start()
        threading.Thread(target=self._read_stderr, args=(self.proc,), daemon=True).start()
        records = self.wait_for(lambda rs: len(events_listening(rs)) > seen, timeout)
        listening = events_listening(records)
        if len(listening) <= seen or not wait_for_port(listening[-1]["port"], timeout, self.proc):
            self.stop()
            raise RuntimeError("stand-in aggregator did not start: " + "".join(self.stderr_lines))
        self.port = listening[-1]["port"]
        return self.port

    def _read_stdout(self, proc, run):
        for line in proc.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                record = json.loads(line)
            except ValueError:
                record = {"unparsed": line}
            # Connection numbers start again with each run of the aggregator.
            record["run"] = run
            with self._cond:
                self.records.append(record)
                self._cond.notify_all()

    def _read_stderr(self, proc):
        for line in proc.stderr:
            self.stderr_lines.append(line)

    def snapshot(self):
        with self._lock:
            return list(self.records)

    def wait_for(self, predicate, timeout=DEFAULT_TIMEOUT):
        """Waits until predicate(records) is true; returns the records (the last
        seen ones on time-out)."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(self.records):
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return list(self.records)

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None


def stop_process(proc, timeout=5.0):
    """Stops a process started in its own session, with everything it spawned
    (the web server's workers), first politely, then by force."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        pass
    for stream in (proc.stdout, proc.stderr):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass


class QuilletSite:
    """A temporary installation folder, document root and log, the web server
    with the extension loaded, and optionally the aggregator and the block."""

    def __init__(self, build_dir=None, source_dir=None, php=None, log_level=4):
        self.build_dir = build_dir or os.environ.get("QX_BUILD_DIR") or os.getcwd()
        here = os.path.dirname(os.path.abspath(__file__))
        self.source_dir = source_dir or os.environ.get("QX_SOURCE_DIR") or os.path.dirname(os.path.dirname(here))
        self.php = php or os.environ.get("QX_PHP") or "/usr/bin/php"
        self.extension = os.path.join(self.build_dir, "extension", "Quillet.so")
        self.url_semaphore_was_there = os.path.exists(URL_SEMAPHORE_PATH)
        self.root = tempfile.mkdtemp(prefix="qx-e2e-%d-" % os.getpid())
        self.install_dir = os.path.join(self.root, "install")
        self.docroot = os.path.join(self.root, "www")
        self.log_file = os.path.join(self.root, "ext.log")
        self.log_level = log_level
        for d in (os.path.join(self.install_dir, "etc", "functions.d"),
                  os.path.join(self.install_dir, "tmp"), self.docroot):
            os.makedirs(d, exist_ok=True)
        self.write_point_file("")
        self.server = None
        self.server_port = None
        self.server_out = None
        self.aggregator = None
        self.block_written = False

    # ---- Files -------------------------------------------------------------

    def write_point_file(self, text, name=None):
        """core-functions.ini, or functions.d/<name> when a name is given."""
        path = (os.path.join(self.install_dir, "etc", "functions.d", name) if name
                else os.path.join(self.install_dir, "etc", "core-functions.ini"))
        with open(path, "w") as f:
            f.write(text)
        return path

    def write_url_regex(self, text):
        with open(os.path.join(self.install_dir, "etc", "url-regex.txt"), "w") as f:
            f.write(text)

    def write_script(self, name, text):
        path = os.path.join(self.docroot, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def read_log(self):
        try:
            with open(self.log_file, "r", encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_lines(self, tag=None):
        lines = self.read_log().splitlines()
        return [l for l in lines if tag is None or (" %s " % tag) in l]

    def wait_log(self, text, timeout=DEFAULT_TIMEOUT, count=1):
        """Waits until the log holds `text` at least `count` times."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.read_log().count(text) >= count:
                return True
            time.sleep(0.05)
        return False

    # ---- Registration block ----------------------------------------------------

    def write_block(self, **kwargs):
        """Writes /dev/shm/QX_PHPAgent (see block_bytes for the arguments)."""
        data = block_bytes(**kwargs)
        fd = os.open(BLOCK_PATH, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            os.ftruncate(fd, len(data))
            os.pwrite(fd, data, 0)
        finally:
            os.close(fd)
        self.block_written = True

    def set_registered(self, flag):
        fd = os.open(BLOCK_PATH, os.O_RDWR)
        try:
            os.pwrite(fd, bytes([flag & 0xFF]), 0)
        finally:
            os.close(fd)

    def remove_block(self):
        try:
            os.unlink(BLOCK_PATH)
        except FileNotFoundError:
            pass
        self.block_written = False

    # ---- Processes ---------------------------------------------------------------

    def start_aggregator(self, extra_args=()):
        self.aggregator = Aggregator(self.source_dir, self.build_dir)
        return self.aggregator.start(extra_args)

    def ini(self, overrides=None):
        """The -d settings for the server: the site's folders and log, the
        aggregator's port, then the caller's overrides (value None drops one)."""
        settings = {
            "qx.install_dir": self.install_dir,
            "qx.log_file": self.log_file,
            "qx.log_level": str(self.log_level),
        }
        if self.aggregator is not None and self.aggregator.port:
            settings["qx.events_channel_port"] = str(self.aggregator.port)
        for k, v in (overrides or {}).items():
            if v is None:
                settings.pop(k, None)
            else:
                settings[k] = str(v)
        return settings

    def server_command(self, port, overrides=None, load_extension=True):
        cmd = [self.php, "-n"]
        if load_extension:
            cmd += ["-d", "zend_extension=" + self.extension]
        for k, v in self.ini(overrides).items():
            cmd += ["-d", "%s=%s" % (k, v)]
        cmd += ["-S", "127.0.0.1:%d" % port, "-t", self.docroot]
        return cmd

    def start_server(self, workers=None, overrides=None, env=None, timeout=DEFAULT_TIMEOUT):
        """Starts `php -S` with the extension; returns its port."""
        self.server_port = free_port()
        full_env = dict(os.environ)
        full_env.pop("PHP_CLI_SERVER_WORKERS", None)
        if workers:
            full_env["PHP_CLI_SERVER_WORKERS"] = str(workers)
        full_env.update(env or {})
        self.server_out = open(os.path.join(self.root, "server.out"), "w+")
        self.server = subprocess.Popen(self.server_command(self.server_port, overrides),
                                       stdout=self.server_out, stderr=subprocess.STDOUT,
                                       env=full_env, start_new_session=True, cwd=self.root)
        if not wait_for_port(self.server_port, timeout, self.server):
            out = self.server_output()
            self.stop_server()
            raise RuntimeError("php -S did not start:\n" + out)
        return self.server_port

    def server_output(self):
        if self.server_out is None:
            return ""
        self.server_out.flush()
        with open(self.server_out.name, "r", errors="replace") as f:
            return f.read()

    def stop_server(self):
        if self.server is not None:
            stop_process(self.server)
            self.server = None
        if self.server_out is not None:
            self.server_out.close()
            self.server_out = None

    def run_php(self, code, overrides=None, load_extension=True, timeout=DEFAULT_TIMEOUT):
        """Runs `php -n -r code` (the command-line server interface) with the
        extension and the site's settings; returns the completed process."""
        cmd = [self.php, "-n"]
        if load_extension:
            cmd += ["-d", "zend_extension=" + self.extension]
        for k, v in self.ini(overrides).items():
            cmd += ["-d", "%s=%s" % (k, v)]
        cmd += ["-r", code]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=self.root)

    def run_cgi(self, script, path=None, overrides=None, env=None, php_cgi=None, timeout=DEFAULT_TIMEOUT):
        """Serves one request through `php-cgi` (one process per request: a
        module start-up, one request, a shutdown) with the extension and the
        site's settings; `script` is a file of the document root, `path` the
        request's URI (default "/" + script). Returns the completed process;
        its stdout holds the response's header lines and body."""
        cmd = [php_cgi or PHP_CGI, "-n", "-d", "zend_extension=" + self.extension]
        for k, v in self.ini(overrides).items():
            cmd += ["-d", "%s=%s" % (k, v)]
        uri = path or "/" + script
        full_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "GATEWAY_INTERFACE": "CGI/1.1",
            "REDIRECT_STATUS": "200",
            "REQUEST_METHOD": "GET",
            "SCRIPT_FILENAME": os.path.join(self.docroot, script),
            "SCRIPT_NAME": "/" + script,
            "REQUEST_URI": uri,
            "QUERY_STRING": uri.partition("?")[2],
            "HTTP_HOST": "127.0.0.1",
            "SERVER_NAME": "127.0.0.1",
            "SERVER_PORT": "80",
            "SERVER_PROTOCOL": "HTTP/1.1",
            "REMOTE_ADDR": "127.0.0.1",
        }
        full_env.update(env or {})
        return subprocess.run(cmd, capture_output=True, timeout=timeout, env=full_env, cwd=self.root)

    # ---- Requests ------------------------------------------------------------------

    def request(self, path, headers=None, method="GET", data=None, timeout=DEFAULT_TIMEOUT):
        """One HTTP request to the server; returns (status, body, headers). An
        error status is returned, not raised."""
        url = "http://127.0.0.1:%d%s" % (self.server_port, path)
        req = urllib.request.Request(url, data=data, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as resp:
                return resp.status, resp.read().decode("utf-8", "replace"), dict(resp.headers)
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode("utf-8", "replace"), dict(e.headers)

    # ---- What the aggregator received ----------------------------------------------

    def records(self):
        return self.aggregator.snapshot() if self.aggregator else []

    def wait_records(self, predicate, timeout=DEFAULT_TIMEOUT):
        return self.aggregator.wait_for(predicate, timeout)

    def handshakes(self):
        """The probe metadata records (one per handshaken connection)."""
        return [r for r in self.records() if r.get("record") == "ThriftProbeMetaDataDTO"]

    def blocks(self):
        return blocks_from_records(self.records())

    def wait_blocks(self, count, timeout=DEFAULT_TIMEOUT):
        """Waits until `count` complete blocks arrived; returns all of them."""
        self.wait_records(lambda rs: len(blocks_from_records(rs)) >= count, timeout)
        return self.blocks()

    # ---- Clean-up --------------------------------------------------------------------

    def close(self):
        self.stop_server()
        if self.aggregator is not None:
            self.aggregator.stop()
        if self.block_written:
            self.remove_block()
        if not self.url_semaphore_was_there:
            try:
                os.unlink(URL_SEMAPHORE_PATH)
            except FileNotFoundError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def diagnostics(self):
        """Server output, the extension's log and the aggregator's records and
        errors, for a failing test's message."""
        parts = ["--- server output ---", self.server_output(), "--- extension log ---", self.read_log()]
        if self.aggregator is not None:
            parts += ["--- aggregator records ---"] + [json.dumps(r) for r in self.records()]
            parts += ["--- aggregator stderr ---", "".join(self.aggregator.stderr_lines)]
        return "\n".join(parts)


def run_tests(test_case_module_name="__main__"):
    """unittest entry point with verbose output, exit status for CTest."""
    import unittest
    program = unittest.main(module=test_case_module_name, exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)
