"""Two `php -S` servers with Quillet on loopback, one calling the other, for the
cross-VM tests: they share one site (document root, point file, log) and one
stand-in aggregator. The called page echoes the headers it received and
records every call it got; helpers decode correlation tokens."""

import base64
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

HEADER = "X-Kolvane-Diag-HTTP-Color"
SERVER_KEY = "HTTP_X_KOLVANE_DIAG_HTTP_COLOR"

POINTS = "".join("[%s]\nmethod=%s\nlayer=HTTP\n" % (name, name) for name in (
    "curl_init", "curl_exec", "curl_setopt", "curl_setopt_array", "curl_close",
    "file_get_contents", "stream_socket_client", "fwrite"))

# The called page: its request headers (HTTP_*) as JSON, and one line per
# call in hits.log. With ?next=<port> it calls leaf.php there by curl first.
CALLEE = r"""<?php
file_put_contents(__DIR__ . '/hits.log', ($_GET['id'] ?? '-') . "\n", FILE_APPEND | LOCK_EX);
$headers = [];
foreach ($_SERVER as $k => $v) {
    if (strncmp($k, 'HTTP_', 5) === 0) $headers[$k] = $v;
}
$out = ['headers' => $headers];
if (isset($_GET['next'])) {
    $ch = curl_init('http://127.0.0.1:' . (int)$_GET['next'] . '/leaf.php');
    curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
    $out['next'] = json_decode(curl_exec($ch), true);
}
header('Content-Type: application/json');
echo json_encode($out);
"""

LEAF = r"""<?php
header('Content-Type: application/json');
echo json_encode(['headers' => ['HTTP_X_KOLVANE_DIAG_HTTP_COLOR' => $_SERVER['HTTP_X_KOLVANE_DIAG_HTTP_COLOR'] ?? null]]);
"""


def decode_token(text):
    """The fields of a token text, as the writer put them."""
    payload = base64.b64decode(text[1:])
    token = {"magic": text[0], "version": payload[0], "bitmask": payload[1]}
    at = 2
    for bit, name in ((0x02, "correlationId"), (0x04, "url"), (0x08, "origFragmentId"), (0, "fragmentId")):
        if bit and not payload[1] & bit:
            token[name] = ""
            continue
        length = int.from_bytes(payload[at:at + 2], "big")
        token[name] = payload[at + 2:at + 2 + length].decode("utf-8")
        at += 2 + length
    return token


def fragment_pattern(path, query):
    """The fragment id of a request of `path` with `query` ("?..." or "")."""
    return re.compile(r"^\d{13}&QuilletProbe\.1700000000&GET&%s&%s&\\0&\\0&$"
                      % (re.escape(path), re.escape(query.replace("&", "\\&"))))


class CrossVmPair:
    """The site, the aggregator, server A (`port`) and server B (`port_b`)."""

    def __init__(self, scripts, overrides=None, overrides_b=None, workers=2):
        self.site = qxharness.QuilletSite()
        self.server_b = None
        self.out_b = None
        try:
            self.site.write_point_file(POINTS)
            self.site.write_script("callee.php", CALLEE)
            self.site.write_script("leaf.php", LEAF)
            for name, text in scripts.items():
                self.site.write_script(name, text)
            self.site.start_aggregator()
            self.site.write_block(registered=1)
            settings = {"extension": "curl"}
            settings.update(overrides or {})
            # Both servers start before any request, so that their workers
            # share one URL table.
            self.port = self.site.start_server(workers=workers, overrides=settings)
            settings_b = {"extension": "curl"}
            settings_b.update(overrides_b or {})
            self.port_b = self._start_b(workers, settings_b)
        except BaseException:
            self.close()
            raise

    def _start_b(self, workers, settings):
        port = qxharness.free_port()
        env = dict(os.environ)
        env["PHP_CLI_SERVER_WORKERS"] = str(workers)
        self.out_b = open(os.path.join(self.site.root, "server_b.out"), "w+")
        self.server_b = subprocess.Popen(self.site.server_command(port, settings), stdout=self.out_b,
                                         stderr=subprocess.STDOUT, env=env, start_new_session=True,
                                         cwd=self.site.root)
        if not qxharness.wait_for_port(port, qxharness.DEFAULT_TIMEOUT, self.server_b):
            raise RuntimeError("second php -S did not start")
        return port

    def get(self, path, headers=None):
        status, body, _ = self.site.request(path, headers=headers)
        if status != 200:
            raise AssertionError("%s -> %d\n%s\n%s" % (path, status, body, self.site.diagnostics()))
        try:
            return json.loads(body)
        except ValueError:
            raise AssertionError("%s gave %r\n%s" % (path, body, self.site.diagnostics()))

    def hits(self):
        try:
            with open(os.path.join(self.site.docroot, "hits.log")) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def block_with(self, predicate, timeout=qxharness.DEFAULT_TIMEOUT):
        """The first complete block one of whose events satisfies predicate."""
        def find(records):
            for block in qxharness.blocks_from_records(records):
                if any(predicate(e) for e in block.events):
                    return block
            return None
        return find(self.site.wait_records(lambda rs: find(rs) is not None, timeout))

    def close(self):
        if self.server_b is not None:
            qxharness.stop_process(self.server_b)
            self.server_b = None
        if self.out_b is not None:
            self.out_b.close()
            self.out_b = None
        self.site.close()
