"""qx.enable_crossvm=0: no outgoing call carries the correlation header or is
reported as a remote call, and the scripts' results are unchanged."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from crossvm_pair import CrossVmPair, SERVER_KEY  # noqa: E402

CALLS = r"""<?php
$b = (int)$_GET['b'];
$base = "http://127.0.0.1:$b/callee.php";
$ch = curl_init("$base?id=o1");
curl_setopt_array($ch, [CURLOPT_RETURNTRANSFER => true, CURLOPT_HTTPHEADER => ['Accept: a/b']]);
$out = ['curl' => json_decode(curl_exec($ch), true)['headers']];
$out['fgc'] = json_decode(file_get_contents("$base?id=o2"), true)['headers'];
$fp = stream_socket_client("tcp://127.0.0.1:$b", $errno, $errstr, 5);
$req = "GET /callee.php?id=o3 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
$out['n'] = fwrite($fp, $req);
$out['len'] = strlen($req);
$raw = stream_get_contents($fp);
$out['raw'] = json_decode(substr($raw, strpos($raw, "\r\n\r\n") + 4), true)['headers'];
echo json_encode($out);
"""


class CrossVmOffTest(unittest.TestCase):

    def test_nothing_is_correlated_when_switched_off(self):
        pair = CrossVmPair({"calls.php": CALLS}, overrides={"qx.enable_crossvm": "0"},
                           overrides_b={"qx.enable_crossvm": "0"})
        self.addCleanup(pair.close)
        out = pair.get("/calls.php?b=%d" % pair.port_b)
        for call in ("curl", "fgc", "raw"):
            self.assertNotIn(SERVER_KEY, out[call], out)
        self.assertEqual("a/b", out["curl"].get("HTTP_ACCEPT"))
        self.assertEqual(out["len"], out["n"])
        self.assertEqual(["o1", "o2", "o3"], sorted(pair.hits()))
        # Every request's block arrives (the caller's and three plain called
        # ones); none holds a remote call or a remote fragment.
        blocks = pair.site.wait_blocks(4)
        self.assertEqual(4, len(blocks), pair.site.diagnostics())
        for block in blocks:
            self.assertFalse({"remoteMethodStartEvent", "remoteFragmentStartEvent"} & set(block.types()))
        self.assertNotIn("CrossVM Method:", pair.site.read_log())


if __name__ == "__main__":
    qxharness.run_tests()
