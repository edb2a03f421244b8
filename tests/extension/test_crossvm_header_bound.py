"""The correlation header an outgoing call carries stays small whatever the
client sends (a long query, a long carried originating fragment id) and
whatever URL the application calls, so that a downstream nginx with its
default header buffers still takes the call; its fields still decode."""

import base64
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from crossvm_pair import CrossVmPair, HEADER, SERVER_KEY, decode_token  # noqa: E402

NGINX = "/usr/sbin/nginx"
HEADER_BOUND = 1024

# Calls nginx by curl and by file_get_contents; `long` makes the called URL
# that many bytes longer.
TO_NGINX = r"""<?php
$url = "http://127.0.0.1:" . (int)$_GET['n'] . "/x" . (isset($_GET['long']) ? '?' . str_repeat('u', (int)$_GET['long']) : '');
$ch = curl_init($url);
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
curl_exec($ch);
$out = ['curl' => curl_getinfo($ch, CURLINFO_HTTP_CODE)];
$http_response_header = [];
@file_get_contents($url);
$out['fgc'] = $http_response_header[0] ?? 'no answer';
echo json_encode($out);
"""

# The header the called php -S received from a curl call.
TO_CALLEE = r"""<?php
$ch = curl_init("http://127.0.0.1:" . (int)$_GET['b'] . "/callee.php");
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
echo curl_exec($ch);
"""

FIELDS = re.compile(r"^((?:[^&\\]|\\.)*&){7}$")


def nginx_available():
    return os.access(NGINX, os.X_OK)


class Nginx:
    """An nginx of the test's own: a temporary prefix and configuration,
    default header buffers, one loopback port, answering 200 to every request
    that it accepts."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="qx-nginx-")
        self.port = qxharness.free_port()
        temp = "".join("%s_temp_path %s;\n" % (kind, os.path.join(self.root, kind))
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write("daemon off;\nworker_processes 1;\npid %s;\nerror_log %s;\n"
                    "events { worker_connections 64; }\n"
                    "http {\naccess_log off;\n%s"
                    "server { listen 127.0.0.1:%d; location / { return 200 \"ok\\n\"; } }\n}\n"
                    % (os.path.join(self.root, "nginx.pid"), os.path.join(self.root, "error.log"),
                       temp, self.port))
        self.out = open(os.path.join(self.root, "out.log"), "w+")
        self.proc = subprocess.Popen([NGINX, "-p", self.root, "-c", conf, "-e", os.path.join(self.root, "error.log")],
                                     stdout=self.out, stderr=subprocess.STDOUT, start_new_session=True)
        if not qxharness.wait_for_port(self.port, qxharness.DEFAULT_TIMEOUT, self.proc):
            self.close()
            raise RuntimeError("nginx did not start")

    def status_for_header(self, value):
        """The status nginx answers to a request carrying the correlation header."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=qxharness.DEFAULT_TIMEOUT) as s:
            s.sendall(("GET /x HTTP/1.0\r\nHost: x\r\n%s: %s\r\n\r\n" % (HEADER, value)).encode())
            return int(s.makefile("rb").readline().split()[1])

    def close(self):
        if self.proc is not None:
            qxharness.stop_process(self.proc)
            self.proc = None
        self.out.close()
        shutil.rmtree(self.root, ignore_errors=True)


def token_text(orig, fragment, magic="!"):
    """A token carrying only an originating and an own fragment id."""
    payload = bytes([15, 0x18]) + len(orig).to_bytes(2, "big") + orig + len(fragment).to_bytes(2, "big") + fragment
    payload += b" " * (-len(payload) % 3)
    return magic + base64.b64encode(payload).decode()


@unittest.skipUnless(nginx_available(), "nginx is not installed (scripts/install-deps.sh)")
class CorrelationHeaderBoundTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.pair = CrossVmPair({"to_nginx.php": TO_NGINX, "to_callee.php": TO_CALLEE})
        try:
            cls.nginx = Nginx()
        except BaseException:
            cls.pair.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.nginx.close()
        cls.pair.close()

    def path_with_query(self, page, length, **args):
        """/page?args&pad=... whose query is `length` bytes long."""
        query = "&".join("%s=%s" % kv for kv in sorted(args.items()))
        pad = length - len(query) - len("&pad=")
        return "/%s?%s&pad=%s" % (page, query, "p" * max(pad, 0)), query + "&pad=" + "p" * max(pad, 0)

    def received(self, path, headers=None):
        """The correlation header the called server got, as a header line's length and fields."""
        value = self.pair.get(path, headers)["headers"][SERVER_KEY]
        return len(HEADER) + 2 + len(value), decode_token(value)

    def test_header_is_bounded_whatever_the_query(self):
        sizes = []
        for length in (0, 1000, 4000, 8000):
            path, query = self.path_with_query("to_callee.php", length, b=self.pair.port_b)
            size, token = self.received(path)
            sizes.append(size)
            self.assertLessEqual(size, HEADER_BOUND, length)
            # Cut on the fields of the fragment id: still seven, the query a prefix of the real one.
            fragment = token["fragmentId"]
            self.assertRegex(fragment, FIELDS)
            self.assertTrue(fragment.endswith("&\\0&\\0&"), fragment)
            kept = fragment.split("&/to_callee.php&?", 1)[1][:-len("&\\0&\\0&")].replace("\\&", "&")
            self.assertTrue(("?" + query).startswith("?" + kept), kept)
        print("header bytes at incoming query 0/1000/4000/8000:", sizes)

    def test_carried_originating_fragment_is_cut_on_its_fields(self):
        orig = b"1700000000000&QuilletProbe.1&GET&/" + b"o" * 6000 + b"&?q=1&\\0&\\0&"
        incoming = token_text(orig, b"f")
        size, token = self.received("/to_callee.php?b=%d" % self.pair.port_b, {HEADER: incoming})
        self.assertLessEqual(size, HEADER_BOUND)
        self.assertRegex(token["origFragmentId"], FIELDS)
        self.assertTrue(token["origFragmentId"].startswith("1700000000000&QuilletProbe.1&GET&/ooo"))
        self.assertTrue(token["origFragmentId"].endswith("&?q=1&\\0&\\0&"), token["origFragmentId"])

    def test_downstream_nginx_takes_the_call(self):
        # nginx's defaults refuse a header line past 8 KiB.
        self.assertEqual(400, self.nginx.status_for_header("!" + "A" * 9000))
        self.assertEqual(200, self.nginx.status_for_header("!" + "A" * 1000))
        path, _ = self.path_with_query("to_nginx.php", 8192, n=self.nginx.port)
        self.assertEqual({"curl": 200, "fgc": "HTTP/1.1 200 OK"}, self.pair.get(path))
        # The application's own long URL.
        self.assertEqual({"curl": 200, "fgc": "HTTP/1.1 200 OK"},
                         self.pair.get("/to_nginx.php?n=%d&long=7000" % self.nginx.port))

    def test_client_headers_reach_little(self):
        """A header past the longest token stays out of the request's event;
        the warnings about headers come at most once per worker and 10 s."""
        path = "/to_callee.php?b=%d" % self.pair.port_b
        for _ in range(6):
            for header in ("#" * 7000, "!b*d"):
                self.pair.get(path, {HEADER: header})
        forwarded = self.pair.block_with(lambda e: e["type"] == "remoteFragmentStartEvent"
                                         and e.get("correlationToken") == "!b*d")
        self.assertIsNotNone(forwarded, self.pair.site.diagnostics())
        tokens = [e.get("correlationToken") for r in qxharness.blocks_from_records(self.pair.site.records())
                  for e in r.events if e["type"] == "remoteFragmentStartEvent"]
        self.assertEqual(0, tokens.count("#" * 7000))
        self.assertIn("", tokens)
        # Each kind at most once in each process (twelve bad headers).
        for warning in ("left out of the request's event", "Cannot decode the incoming correlation token",
                        "Incoming correlation token cannot be read"):
            writers = [re.search(r" p(\d+)\] ", l).group(1) for l in self.pair.site.log_lines("[WARNING]")
                       if warning in l]
            self.assertTrue(writers, warning)
            self.assertEqual(len(writers), len(set(writers)), (warning, writers))


if __name__ == "__main__":
    qxharness.run_tests()
