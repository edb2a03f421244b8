"""Outgoing HTTP calls between two `php -S` servers with Quillet: curl,
file_get_contents and raw stream sockets carry exactly one correlation header
per call, the token tells the caller's request, the called request is a
remote fragment, sampling follows qx.crossvm_sampling, and the script's own
results are what they would be without the probe."""

import os
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from crossvm_pair import CrossVmPair, SERVER_KEY, decode_token, fragment_pattern  # noqa: E402

COMMON = r"""<?php
$b = (int)$_GET['b'];
$base = "http://127.0.0.1:$b/callee.php";
function seen($json) { $d = json_decode((string)$json, true); return $d['headers'] ?? $json; }
function body_of($raw) { $p = strpos($raw, "\r\n\r\n"); return $p === false ? $raw : substr($raw, $p + 4); }
"""

CURL = r"""<?php require 'common.php';
$out = [];
$ch = curl_init("$base?id=c1");
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
$out['c1'] = seen(curl_exec($ch));
curl_setopt($ch, CURLOPT_HTTPHEADER, ['Accept: text/x', 'x-kolvane-diag-http-color: mine', 'X-Two: 2']);
curl_setopt($ch, CURLOPT_URL, "$base?id=c2");
$out['c2'] = seen(curl_exec($ch));
curl_setopt($ch, CURLOPT_URL, "$base?id=c3");
$out['c3'] = seen(curl_exec($ch));
$out['code'] = curl_getinfo($ch, CURLINFO_HTTP_CODE);
$copy = curl_copy_handle($ch);
curl_setopt($copy, CURLOPT_URL, "$base?id=c4");
$out['c4'] = seen(curl_exec($copy));
curl_reset($ch);
curl_setopt_array($ch, [CURLOPT_URL => "$base?id=c5", CURLOPT_RETURNTRANSFER => true]);
$out['c5'] = seen(curl_exec($ch));
$h = curl_init();
curl_setopt_array($h, [CURLOPT_HTTPHEADER => ['Accept: a/b'], CURLOPT_URL => "$base?id=c6",
                       CURLOPT_RETURNTRANSFER => true]);
$out['c6'] = seen(curl_exec($h));
class Line { public static $n = 0; function __toString(): string { self::$n++; return 'X-Obj: o'; } }
$o = curl_init("$base?id=c7");
curl_setopt_array($o, [CURLOPT_HTTPHEADER => [new Line()], CURLOPT_RETURNTRANSFER => true]);
$out['c7'] = seen(curl_exec($o));
$out['tostring'] = Line::$n;
// The script's own exception from inside the transfer reaches it unchanged.
$t = curl_init("$base?id=c8");
curl_setopt($t, CURLOPT_WRITEFUNCTION, function ($h, $d) { throw new RuntimeException('from callback'); });
try { curl_exec($t); $out['thrown'] = 'none'; } catch (RuntimeException $e) { $out['thrown'] = $e->getMessage(); }
// Header lines set deeper than qx.max_functions_depth are still the handle's.
function deep3($base) {
    $d = curl_init("$base?id=c9");
    curl_setopt_array($d, [CURLOPT_HTTPHEADER => ['X-Deep: 1'], CURLOPT_RETURNTRANSFER => true]);
    return $d;
}
function deep2($base) { return deep3($base); }
function deep1($base) { return deep2($base); }
$out['c9'] = seen(curl_exec(deep1($base)));
echo json_encode($out);
"""

FGC = r"""<?php require 'common.php';
chdir(__DIR__);
$out = [];
$out['f1'] = seen(file_get_contents("$base?id=f1"));
stream_context_set_default(['http' => ['header' => "X-Default: d\r\n"]]);
$out['f2'] = seen(file_get_contents("$base?id=f2"));
$out['default_after'] = stream_context_get_options(stream_context_get_default());
$ctx = stream_context_create(['http' => ['header' => "Accept: s/t\r\n"]]);
$out['f3'] = seen(file_get_contents("$base?id=f3", false, $ctx));
$out['f4'] = seen(file_get_contents("$base?id=f4", false, $ctx));
$out['ctx_after'] = stream_context_get_options($ctx);
$actx = stream_context_create(['http' => ['header' => ['Accept: a/r', 'X-Two: 2']]]);
$out['f5'] = seen(file_get_contents("$base?id=f5", false, $actx));
$out['actx_after'] = stream_context_get_options($actx);
$out['f6'] = seen(file_get_contents("$base?id=f6", false, null, 0));
file_put_contents('http_cache.json', '{"local":1}');
$out['local'] = file_get_contents('http_cache.json');
$out['missing'] = @file_get_contents("http://127.0.0.1:1/none");
$out['forged'] = @file_get_contents("http://127.0.0.1:1/x\n[ERROR] forged");
try { file_get_contents("$base?id=f7", false, fopen('php://memory', 'r')); } catch (TypeError $e) { $out['typeerror'] = 1; }
echo json_encode($out);
"""

RAW = r"""<?php require 'common.php';
$out = [];
$req = "GET /callee.php?id=s1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
$fp = stream_socket_client("tcp://127.0.0.1:$b", $errno, $errstr, 5);
$out['n1'] = fwrite($fp, $req);
$out['len1'] = strlen($req);
$out['s1'] = seen(body_of(stream_get_contents($fp)));
fclose($fp);
$req = "GET /callee.php?id=s2 HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Pad: " . str_repeat('p', 100) . "\r\n\r\n";
$fp = stream_socket_client("127.0.0.1:$b", $errno, $errstr, 5);
$done = 0;
$counts = [];
while ($done < strlen($req) && count($counts) < 100) {
    $n = fwrite($fp, substr($req, $done), 40);
    if (!$n) break;
    $counts[] = $n;
    $done += $n;
}
$out['counts'] = $counts;
$out['len2'] = strlen($req);
$out['s2'] = seen(body_of(stream_get_contents($fp)));
fclose($fp);
$mem = fopen('php://memory', 'w+');
$out['memory'] = fwrite($mem, "GET /x HTTP/1.1\r\n\r\n");
echo json_encode($out);
"""

SAMPLE = r"""<?php require 'common.php';
$ch = curl_init("$base?id=p1");
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
echo json_encode(['p1' => seen(curl_exec($ch)), 'p2' => seen(file_get_contents("$base?id=p2"))]);
"""

CHAIN = r"""<?php require 'common.php';
$ch = curl_init("$base?id=chain&next=" . (int)$_GET['a']);
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
echo curl_exec($ch);
"""

# Calls that fail: refused, timed out against a listener that never answers,
# refused by file_get_contents, and a request written to a socket the peer has
# reset; then one that succeeds. The script's own error texts come back.
FAIL = r"""<?php require 'common.php';
$closed = (int)$_GET['closed'];
$out = [];
$ch = curl_init("http://127.0.0.1:$closed/refused");
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
$out['refused'] = curl_exec($ch);
$out['refused_error'] = curl_error($ch);
$ch = curl_init("http://127.0.0.1:" . (int)$_GET['silent'] . "/silent");
curl_setopt_array($ch, [CURLOPT_RETURNTRANSFER => true, CURLOPT_TIMEOUT_MS => 300]);
$t = microtime(true);
$out['timeout'] = curl_exec($ch);
$out['timeout_ms'] = (microtime(true) - $t) * 1000;
$out['timeout_error'] = curl_error($ch);
$out['fgc'] = @file_get_contents("http://127.0.0.1:$closed/fgc");
$out['fgc_error'] = error_get_last()['message'] ?? null;
$fp = stream_socket_client("tcp://127.0.0.1:" . (int)$_GET['reset'], $errno, $errstr, 5);
fwrite($fp, "hello\n");   // not a request: the peer resets the connection when it has it
@fread($fp, 1);   // returns once the reset is here
error_clear_last();
$out['raw'] = @fwrite($fp, "GET /reset HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
$out['raw_error'] = error_get_last()['message'] ?? 'fwrite() failed';
$ch = curl_init("$base?id=ok1");
curl_setopt($ch, CURLOPT_RETURNTRANSFER, true);
$out['ok'] = seen(curl_exec($ch));
echo json_encode($out);
"""

INCOMING = r"""<?php require 'common.php';
echo json_encode(['i1' => seen(file_get_contents("$base?id=i1")), 'i2' => seen(file_get_contents("$base?id=i2"))]);
"""


class CrossVmCallsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.pair = CrossVmPair({"common.php": COMMON, "curl.php": CURL, "fgc.php": FGC, "raw.php": RAW,
                                "sample.php": SAMPLE, "chain.php": CHAIN, "incoming.php": INCOMING,
                                "fail.php": FAIL},
                               overrides={"qx.crossvm_sampling": "1", "qx.max_functions_depth": "3"})

    @classmethod
    def tearDownClass(cls):
        cls.pair.close()

    def run_page(self, page, headers=None):
        return self.pair.get("/%s?b=%d&a=%d" % (page, self.pair.port_b, self.pair.port), headers)

    def color(self, seen):
        """The one correlation header the called side received, decoded."""
        self.assertIsInstance(seen, dict, seen)
        value = seen.get(SERVER_KEY)
        self.assertIsNotNone(value, seen)
        # The server joins repeated headers with ", "; a token has neither.
        self.assertNotIn(",", value)
        self.assertNotIn(" ", value)
        token = decode_token(value)
        self.assertEqual(15, token["version"])
        self.assertIn(token["magic"], "!@")
        self.assertEqual(0x10 | (0x02 if token["correlationId"] else 0) | 0x04
                         | (0x08 if token["origFragmentId"] else 0), token["bitmask"])
        token["text"] = value
        return token

    def reported(self, page, count, failed=0):
        """The caller's block of `page`: its remote method starts and ends,
        `failed` of the ends with flags 33 and the others with 0."""
        def mine(e):
            return (e["type"] == "remoteMethodStartEvent"
                    and "&/%s&" % page in decode_token(e["correlationToken"])["fragmentId"])
        block = self.pair.block_with(mine)
        if block is None:
            self.fail("no block for %s\n%s" % (page, self.pair.site.diagnostics()))
        starts = [e for e in block.events if e["type"] == "remoteMethodStartEvent"]
        ends = [e for e in block.events if e["type"] == "remoteMethodEndEvent"]
        self.assertEqual(count, len(starts), block.types())
        self.assertEqual([s["eventInstance"] for s in starts], [e["startEventInstanceId"] for e in ends])
        self.assertEqual(failed, len([e for e in ends if e["flags"] == 33]))
        self.assertEqual(count - failed, len([e for e in ends if e["flags"] == 0]))
        return block, starts

    def check_hits(self, ids):
        hits = self.pair.hits()
        for call in ids:
            self.assertEqual(1, hits.count(call), "%s called %d times" % (call, hits.count(call)))

    def test_curl(self):
        out = self.run_page("curl.php")
        self.assertEqual(200, out["code"])
        tokens = [self.color(out[c]) for c in ("c1", "c2", "c3", "c4", "c5", "c6")]
        base = "http://127.0.0.1:%d/callee.php" % self.pair.port_b
        self.assertEqual(["%s?id=c%d" % (base, i) for i in range(1, 7)], [t["url"] for t in tokens])
        pattern = fragment_pattern("/curl.php", "?b=%d&a=%d" % (self.pair.port_b, self.pair.port))
        for t in tokens:
            self.assertRegex(t["fragmentId"], pattern)
        # The script's lines are sent once each, with its own correlation line replaced.
        for c in ("c2", "c3", "c4"):
            self.assertEqual("text/x", out[c].get("HTTP_ACCEPT"), out[c])
            self.assertEqual("2", out[c].get("HTTP_X_TWO"))
        self.assertEqual("*/*", out["c5"].get("HTTP_ACCEPT"))   # curl_reset removed the script's
        self.assertEqual("a/b", out["c6"].get("HTTP_ACCEPT"))
        # An element only script code can render is left to curl alone.
        self.assertEqual("o", out["c7"].get("HTTP_X_OBJ"))
        self.assertEqual(1, out["tostring"])
        self.assertEqual("from callback", out["thrown"])
        self.assertEqual("1", out["c9"].get("HTTP_X_DEEP"))
        self.color(out["c9"])
        self.check_hits(["c%d" % i for i in range(1, 10)])

        block, starts = self.reported("curl.php", 9)
        self.assertEqual([t["text"] for t in tokens], [s["correlationToken"] for s in starts[:6]])
        target = "DIAG_ARG:type=http&name=/callee.php&target=127.0.0.1:%d" % self.pair.port_b
        self.assertEqual({target}, {block.text(s["methodArgToken"]) for s in starts})
        # The called request is a remote fragment carrying the token it got.
        called = self.pair.block_with(lambda e: e["type"] == "remoteFragmentStartEvent"
                                      and e.get("correlationToken") == tokens[0]["text"])
        self.assertIsNotNone(called, self.pair.site.diagnostics())
        self.assertEqual("remoteFragmentEndEvent", called.types()[-1])

    def test_file_get_contents(self):
        out = self.run_page("fgc.php")
        for f in ("f1", "f2", "f3", "f4", "f5", "f6"):
            self.color(out[f])
        self.assertEqual("d", out["f2"].get("HTTP_X_DEFAULT"))   # the default context's options
        self.assertEqual("d", out["f6"].get("HTTP_X_DEFAULT"))
        self.assertEqual({"http": {"header": "X-Default: d\r\n"}}, out["default_after"])
        self.assertEqual("s/t", out["f3"].get("HTTP_ACCEPT"))
        self.assertEqual("s/t", out["f4"].get("HTTP_ACCEPT"))
        self.assertEqual({"http": {"header": "Accept: s/t\r\n"}}, out["ctx_after"])
        self.assertEqual(("a/r", "2"), (out["f5"].get("HTTP_ACCEPT"), out["f5"].get("HTTP_X_TWO")))
        self.assertEqual({"http": {"header": ["Accept: a/r", "X-Two: 2"]}}, out["actx_after"])
        self.assertEqual('{"local":1}', out["local"])
        self.assertIs(False, out["missing"])
        self.assertEqual(1, out["typeerror"])   # refused by the engine: not called, not reported
        self.check_hits(["f%d" % i for i in range(1, 7)])
        self.reported("fgc.php", 8, failed=2)   # six calls and two unreachable ones; not the local file
        # A URL's line break is written as an escape, not as a new log line.
        self.assertIn("/x\\n[ERROR] forged", self.pair.site.read_log())
        self.assertFalse([l for l in self.pair.site.read_log().splitlines() if l.startswith("[ERROR] forged")])

    def test_raw_socket(self):
        out = self.run_page("raw.php")
        self.assertEqual(out["len1"], out["n1"])
        self.color(out["s1"])
        counts = out["counts"]
        self.assertEqual(out["len2"], sum(counts))
        self.assertEqual(40, counts[0])
        self.assertTrue(all(0 < n <= 40 for n in counts), counts)
        self.assertEqual("p" * 100, out["s2"].get("HTTP_X_PAD"))
        token = self.color(out["s2"])
        self.assertEqual("127.0.0.1:%d/callee.php?id=s2" % self.pair.port_b, token["url"])
        self.assertEqual(19, out["memory"])
        self.check_hits(["s1", "s2"])
        self.reported("raw.php", 2)

    def test_failed_calls_are_reported_as_failures(self):
        closed = qxharness.free_port()
        silent = socket.socket()   # listens, never answers
        resetting = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        resetting.bind(("127.0.0.1", 0))
        resetting.listen(4)
        resetting.settimeout(qxharness.DEFAULT_TIMEOUT)
        ports = (closed, silent.getsockname()[1], resetting.getsockname()[1])

        def reset_one():
            try:
                conn, _ = resetting.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(qxharness.DEFAULT_TIMEOUT)
                try:
                    conn.recv(16)
                except OSError:
                    pass
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        resetter = threading.Thread(target=reset_one)
        resetter.start()
        try:
            out = self.pair.get("/fail.php?b=%d&closed=%d&silent=%d&reset=%d" % ((self.pair.port_b,) + ports))
        finally:
            resetter.join()
            silent.close()
            resetting.close()
        self.assertEqual((False, False, False, False), (out["refused"], out["timeout"], out["fgc"], out["raw"]))
        self.color(out["ok"])
        block, starts = self.reported("fail.php", 5, failed=4)
        ends = {e["startEventInstanceId"]: e for e in block.events if e["type"] == "remoteMethodEndEvent"}
        calls = [(decode_token(s["correlationToken"])["url"], ends[s["eventInstance"]]) for s in starts]

        def cut(text):   # qx.exception_max_message_length, 100 by default
            return text[:100] + "..." if len(text) > 100 else text
        expected = [("http://127.0.0.1:%d/refused" % closed, out["refused_error"]),
                    ("http://127.0.0.1:%d/silent" % ports[1], out["timeout_error"]),
                    ("http://127.0.0.1:%d/fgc" % closed, out["fgc_error"]),
                    ("tcp://127.0.0.1:%d/reset" % ports[2], out["raw_error"])]
        for (url, error), (reported_url, end) in zip(expected, calls):
            self.assertTrue(error, out)
            self.assertEqual((url, 33, "Function failure", cut(error)),
                             (reported_url, end["flags"], end.get("exceptionType"), end.get("exceptionMessage")))
        self.assertEqual(0, calls[4][1]["flags"])
        self.assertEqual("http://127.0.0.1:%d/callee.php?id=ok1" % self.pair.port_b, calls[4][0])
        # Their real durations: a refusal at once, the time-out after its 300 ms.
        took = [(end["timeInMicroseconds"] - s["timeInMicroseconds"]) / 1000.0 for s, (_, end) in zip(starts, calls)]
        self.assertLess(took[0], 1000)
        self.assertTrue(250 <= took[1] <= out["timeout_ms"] + 50, (took, out["timeout_ms"]))
        self.check_hits(["ok1"])

    def test_sampling_follows_the_interval(self):
        first = self.run_page("sample.php")
        second = self.run_page("sample.php")
        sampled = [self.color(first[p]) for p in ("p1", "p2")]
        self.assertEqual(["!", "!"], [t["magic"] for t in sampled])
        self.assertNotEqual(sampled[0]["correlationId"], sampled[1]["correlationId"])
        self.assertTrue(all(t["correlationId"] for t in sampled))
        unsampled = [self.color(second[p]) for p in ("p1", "p2")]
        self.assertEqual([("@", "")] * 2, [(t["magic"], t["correlationId"]) for t in unsampled])
        time.sleep(2.2)   # qx.crossvm_sampling is 1 second on the caller
        self.assertEqual("!", self.color(self.run_page("sample.php")["p1"])["magic"])

    def test_chain_of_three_carries_the_originating_fragment(self):
        out = self.run_page("chain.php")
        first = self.color(out["headers"])
        second = self.color(out["next"]["headers"])
        self.assertEqual("", first["origFragmentId"])
        self.assertEqual(first["fragmentId"], second["origFragmentId"])
        self.assertEqual(first["magic"], second["magic"])
        self.assertRegex(second["fragmentId"], fragment_pattern(
            "/callee.php", "?id=chain&next=%d" % self.pair.port))

    def test_incoming_tokens(self):
        valid = "@DxgACG9yaWcmMTIzAAJmMSAg"   # '@', origFragmentId "orig&123", fragmentId "f1"
        out = self.run_page("incoming.php", {"X-Kolvane-Diag-HTTP-Color": valid})
        for t in (self.color(out["i1"]), self.color(out["i2"])):
            self.assertEqual("@", t["magic"])
            self.assertEqual(decode_token(valid)["origFragmentId"], t["origFragmentId"])
            self.assertTrue(t["correlationId"])
        # Unreadable: treated as absent, logged once however many calls.
        out = self.run_page("incoming.php", {"X-Kolvane-Diag-HTTP-Color": "#DxgA, !bad"})
        for t in (self.color(out["i1"]), self.color(out["i2"])):
            self.assertEqual("", t["origFragmentId"])
        self.assertEqual(1, len([line for line in self.pair.site.log_lines("[WARNING]")
                                 if "Incoming correlation token cannot be read" in line]))


if __name__ == "__main__":
    qxharness.run_tests()
